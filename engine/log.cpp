#include "engine/log.h"

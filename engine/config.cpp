#include "engine/config.h"

#include "engine/startup.h"

#include "engine/timers.h"

#include "engine/listeners.h"

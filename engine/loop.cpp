#include "engine/loop.h"

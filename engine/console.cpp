#include "engine/console.h"

#include "protocol/window.h"

#include "engine/tunnel.h"

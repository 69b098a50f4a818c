#include "protocol/wire.h"

#include "protocol/hooks.h"

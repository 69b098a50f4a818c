#include "protocol/commands.h"

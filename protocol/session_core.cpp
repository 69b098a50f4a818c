#include "protocol/session_core.h"

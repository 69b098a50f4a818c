#include "engine/session.h"

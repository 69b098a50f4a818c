#include "engine/streams.h"

#include "protocol/fifo.h"

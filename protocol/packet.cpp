#include "protocol/packet.h"

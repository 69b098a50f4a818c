#include "protocol/md5.h"

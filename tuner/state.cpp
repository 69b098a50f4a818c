#include "tuner/state.h"

kestrix_state kx;

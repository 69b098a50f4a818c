// The tuner reader's exports that the DVB library calls, taken from the
// reader's own interface header: the library binds them by name with types
// from those declarations (decltype(&SetFilter)), and the test double
// implements them against them.
#pragma once

#include "tuner/kestrix_api.h"

// The exports above, for binding them by name.
#define KESTRIX_CALLS(X) \
    X(CheckForDVBEx) X(StartDVBEx) X(StopDVB) X(SetChannelExEx) X(SendDiSEqC) X(SetFilter) X(DelFilter) X(Statistic)

// The checks a configuration must pass before a command that reads one
// (and does not skip them) starts: the servers it names must be complete.
// The checks run in a fixed order and the first failure is the one shown.
#pragma once

#include <string>

#include "foundation/setup_data.h"

// The message of the first check that fails, empty when all pass. The proxy
// is checked for the HTTP type only.
std::u16string VekFirstSetupError(const TVEKSetupData& setup);

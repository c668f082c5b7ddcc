// The enumerations of the wire contract, declared in protocol/enums.hpp and
// named here as the Terminal's own.
#pragma once

#include "protocol/enums.hpp"

namespace qvn::terminal {
using namespace qvn::enums;
}  // namespace qvn::terminal

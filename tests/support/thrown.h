// The message of the program exception a call raises, for tests that check
// error texts; "<none>" when it raises nothing.
#pragma once

#include <string>

#include "foundation/exception.h"

namespace vektest {

template <typename F>
std::string ThrownMessage(F f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<none>";
}

}  // namespace vektest

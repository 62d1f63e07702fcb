#pragma once

#include <string>

#include "support/exception.h"

namespace qm::testing {

// The message of the system exception `f` raises, or "<no exception>". Other exceptions pass.
template <typename F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<no exception>";
}

}  // namespace qm::testing

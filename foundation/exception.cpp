#include "foundation/exception.h"

std::string DaxExceptionText(const std::exception& e) {
  if (auto* own = dynamic_cast<const Exception*>(&e))
    return std::string(own->ClassName()) + ": " + own->Message();
  return std::string("Exception: ") + e.what();
}

#include "foundation/exception.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

DAX_DECLARE_EXCEPTION(ETestChild, EConvertError);

TEST(Exception, TextNamesTheMostDerivedClass) {
  try {
    throw ETestChild("bad digit");
  } catch (const EConvertError& e) {
    EXPECT_EQ(DaxExceptionText(e), "ETestChild: bad digit");
  }
  // Not one of the program's classes: no class name to give.
  EXPECT_EQ(DaxExceptionText(std::runtime_error("bad alloc")), "Exception: bad alloc");
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/test_files.h"

namespace vektest {

void Sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

void SoxTone(const std::string& path, const std::string& format, double seconds) {
  Sh("sox -q -n " + format + " '" + path + "' synth " + std::to_string(seconds) + " sine 440 vol 0.5");
}

}  // namespace vektest

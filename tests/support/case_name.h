// Case names for tables run as parameterized tests, from the rows' own
// readable names, so that a failure and its ctest entry name the row.
// Header only and without GoogleTest: the generator is a template.
#pragma once

#include <string>
#include <string_view>

namespace vektest {

// The words of a text in CamelCase, the rest dropped, as GoogleTest wants a
// case name: "no output device, roger on" -> "NoOutputDeviceRogerOn". An
// apostrophe stays inside its word ("manager's" -> "Managers").
inline std::string CaseName(std::string_view text) {
  std::string name;
  bool word_start = true;
  for (const char c : text) {
    const bool lower = c >= 'a' && c <= 'z';
    if (lower || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      name += word_start && lower ? static_cast<char>(c - 'a' + 'A') : c;
      word_start = false;
    } else if (c != '\'') {
      word_start = true;
    }
  }
  return name;
}

// The name generator of INSTANTIATE_TEST_SUITE_P for rows with a `name`.
struct RowName {
  template <class ParamInfo>
  std::string operator()(const ParamInfo& info) const {
    return CaseName(info.param.name);
  }
};

}  // namespace vektest

// An environment variable a test changes, put back as it was (set to its old
// value or unset) when the guard goes.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace vektest {

class EnvGuard {
 public:
  explicit EnvGuard(std::string name) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) saved_ = old;
  }
  ~EnvGuard() {
    if (saved_) ::setenv(name_.c_str(), saved_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

  void Set(const std::string& value) { ::setenv(name_.c_str(), value.c_str(), 1); }
  void Unset() { ::unsetenv(name_.c_str()); }

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace vektest

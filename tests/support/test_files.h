// Scratch files for tests: a private temporary directory that removes itself,
// and whole-file reads and writes.
#pragma once

#include <string>

namespace vektest {

class TempDir {
 public:
  // Creates a fresh directory below base (mkdtemp); path() is empty when
  // that failed, so a test's first file operation fails visibly.
  explicit TempDir(const std::string& base = "/tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// True when something (a file, a directory, a dangling link) has this name.
bool Exists(const std::string& path);

}  // namespace vektest

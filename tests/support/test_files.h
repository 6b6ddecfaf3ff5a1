// Scratch files for tests: a private temporary directory that removes itself,
// whole-file reads and writes, and fixtures made by a command.
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

// Runs a shell command that makes a fixture (sox, mostly); a non-zero exit
// fails the test and names the command. These two report through GoogleTest
// (test_files_gtest.cpp, in vek_testsupport).
void Sh(const std::string& command);
// Writes `seconds` of a 440-Hz sine at half scale with sox; format holds
// sox's output options (rate, channels, encoding).
void SoxTone(const std::string& path, const std::string& format, double seconds);

}  // namespace vektest

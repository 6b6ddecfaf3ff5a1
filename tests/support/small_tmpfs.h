// A small tmpfs for tests of a full disk: mounted on a fresh folder (the
// tests run as root), filled to the last page on demand and emptied again,
// unmounted at the end.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "support/test_files.h"

namespace vektest {

class SmallTmpfs {
 public:
  // Null when no file system can be mounted here; `why` says what failed.
  static std::unique_ptr<SmallTmpfs> Mount(size_t bytes, std::string* why);
  ~SmallTmpfs();
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;

  const std::string& path() const { return dir_.path(); }
  std::string operator/(const std::string& name) const { return dir_ / name; }

  // A filler file takes every free block. What files already hold in their
  // last page still has room there, as on a real disk.
  void Fill();
  // The filler goes again.
  void Unfill();

 private:
  SmallTmpfs() = default;
  TempDir dir_;  // removed after the unmount
  bool mounted_ = false;
};

}  // namespace vektest

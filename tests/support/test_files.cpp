#include "support/test_files.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vektest {

TempDir::TempDir(const std::string& base) {
  std::string templ = base + "/vektest.XXXXXX";
  if (::mkdtemp(templ.data())) path_ = templ;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  namespace fs = std::filesystem;
  std::error_code ec;
  // Tests make read-only files and directories; give the owner write access
  // back so the tree can go. Links are never followed.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec)) {
    if (!it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace vektest

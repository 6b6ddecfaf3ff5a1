#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "foundation/charset.h"
#include "foundation/fileutils.h"

// ---------------------------------------------------------------------------
// Path helpers

std::string DaxIncludeTrailingSlash(const std::string& path) {
  if (!path.empty() && path.back() == '/') return path;
  return path + '/';
}

std::u16string DaxIncludeTrailingSlashW(const std::u16string& path) {
  if (!path.empty() && path.back() == u'/') return path;
  return path + u'/';
}

std::string DaxExcludeTrailingSlashes(const std::string& path) {
  size_t n = path.size();
  while (n > 0 && path[n - 1] == '/') --n;
  return path.substr(0, n);
}

std::u16string DaxExcludeTrailingSlashesW(const std::u16string& path) {
  size_t n = path.size();
  while (n > 0 && path[n - 1] == u'/') --n;
  return path.substr(0, n);
}

bool DaxIsPathWithoutDotSegments(const std::string& path) {
  std::string p = path + '/';
  return p.find("/../") == std::string::npos && p.find("/./") == std::string::npos;
}

bool DaxIsDotEntry(const std::string& name) { return name == "." || name == ".."; }

int DaxGetPathKind(const std::u16string& path) {
  return !path.empty() && path[0] == u'/' ? 2 : 0;
}

namespace {

template <typename S>
S ExpandLexically(const S& path, const S& cwd) {
  using C = typename S::value_type;
  S full = path;
  if (full.empty() || full[0] != C('/')) {
    full = cwd;
    full += C('/');
    full += path;
  }
  std::vector<S> parts;
  size_t i = 0;
  while (i < full.size()) {
    while (i < full.size() && full[i] == C('/')) ++i;
    size_t j = i;
    while (j < full.size() && full[j] != C('/')) ++j;
    S part = full.substr(i, j - i);
    i = j;
    if (part.empty() || (part.size() == 1 && part[0] == C('.'))) continue;
    if (part.size() == 2 && part[0] == C('.') && part[1] == C('.')) {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(std::move(part));
  }
  S out;
  for (const S& part : parts) {
    out += C('/');
    out += part;
  }
  if (out.empty()) out = S(1, C('/'));
  return out;
}

std::string CurrentDir() {
  std::vector<char> buf(4096);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) return buf.data();
    if (errno != ERANGE || buf.size() > (1u << 20)) return "/";
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

std::string DaxExpandFileName(const std::string& path) {
  if (!path.empty() && path[0] == '/') return ExpandLexically(path, std::string());
  return ExpandLexically(path, CurrentDir());
}

std::u16string DaxExpandFileNameW(const std::u16string& path) {
  if (!path.empty() && path[0] == u'/') return ExpandLexically(path, std::u16string());
  return ExpandLexically(path, DaxHookSysToUnicode(CurrentDir()));
}

std::string DaxGetProgramPath() {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buf.size())
      return DaxExpandFileName(std::string(buf.data(), static_cast<size_t>(n)));
    if (buf.size() > (1u << 20)) return std::string();
    buf.resize(buf.size() * 2);
  }
}

std::string DaxGetProgramDirWithSlash() {
  std::string path = DaxGetProgramPath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "/";
  return path.substr(0, slash + 1);
}

std::string DaxGetProgramDir() {
  std::string dir = DaxGetProgramDirWithSlash();
  if (dir.size() > 1) dir.pop_back();
  return dir;
}

std::string DaxGetEnvTempDir() {
  static const char* const kNames[] = {"TEMP", "TMP", "TMPDIR", "TEMPDIR"};
  for (const char* name : kNames) {
    std::string value = DaxGetEnvValue(name);
    if (value.empty()) continue;
    std::string dir = DaxExcludeTrailingSlashes(value);
    dir = DaxExpandFileName(dir.empty() ? std::string("/") : dir);
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return DaxIncludeTrailingSlash(dir);
    break;
  }
  return std::string();
}

std::string DaxGetTempDir() {
  const std::string dir = DaxGetEnvTempDir();
  return dir.empty() ? DaxGetProgramDirWithSlash() : dir;
}

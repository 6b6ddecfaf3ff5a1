#include "foundation/paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "foundation/charset.h"
#include "foundation/setup_data.h"
#include "foundation/types.h"

std::u16string DaxResolvePath(const std::u16string& path, const std::u16string& base) {
  switch (DaxGetPathKind(path)) {
    case 0:
      return DaxExpandFileNameW(DaxIncludeTrailingSlashW(base) + path);
    case 2:
      return path;
    case 1:
      return DaxExpandFileNameW(path);
    default:
      throw Exception("Unknown relative path");
  }
}

std::u16string VekResolveFileNameDef(const std::u16string& name, const std::u16string& def,
                                     const std::u16string& base) {
  std::u16string n = DaxTrimW(name);
  if (n.empty()) n = def;
  return DaxResolvePath(n, base);
}

std::u16string VekResolveFileNameInDir(const std::u16string& name, const std::u16string& def,
                                       const std::u16string& bare_dir,
                                       const std::u16string& base) {
  std::u16string n = DaxTrimW(name);
  if (n.empty()) n = def;
  if (n.find(u'/') == std::u16string::npos) return DaxResolvePath(n, bare_dir);
  return DaxResolvePath(n, base);
}

std::u16string VekProgramDirW() { return DaxHookSysToUnicode(DaxGetProgramDir()); }

namespace {

std::u16string WriteDirIn(const std::u16string& setting, const std::u16string& program) {
  std::u16string dir = setting.empty() ? program : setting;
  std::u16string stripped = DaxExcludeTrailingSlashesW(dir);
  if (stripped.empty() && !dir.empty()) stripped = u"/";
  return DaxResolvePath(stripped, program);
}

std::u16string TempDirIn(const std::u16string& setting, const std::u16string& program) {
  if (setting.empty()) return DaxHookSysToUnicode(DaxGetTempDir());
  std::u16string stripped = DaxExcludeTrailingSlashesW(setting);
  if (stripped.empty()) stripped = u"/";
  return DaxResolvePath(stripped, program);
}

std::string FileIn(const std::string& name, const std::u16string& write_dir) {
  if (name.empty()) throw Exception("no file name");
  return DaxIncludeTrailingSlash(DaxHookUnicodeToSys(write_dir)) + name;
}

std::u16string ProgramDirOf(const TVEKSystemParameters& system) {
  return system.ProgramDir.empty() ? VekProgramDirW() : system.ProgramDir;
}

}  // namespace

std::u16string VekWriteDir(const std::u16string& write_dir_setting) {
  return WriteDirIn(write_dir_setting, VekProgramDirW());
}

std::u16string VekTempDir(const std::u16string& temp_dir_setting) {
  return TempDirIn(temp_dir_setting, VekProgramDirW());
}

std::string VekFileInWriteDir(const std::string& name, const std::u16string& write_dir_setting) {
  if (name.empty()) throw Exception("no file name");
  return FileIn(name, VekWriteDir(write_dir_setting));
}

std::u16string VekWriteDir(const TVEKSystemParameters& system) {
  return WriteDirIn(system.WriteDir, ProgramDirOf(system));
}

std::u16string VekTempDir(const TVEKSystemParameters& system) {
  return TempDirIn(system.TempDir, ProgramDirOf(system));
}

std::string VekConfiguredTempDir(const TVEKSystemParameters& system) {
  if (system.TempDir.empty()) return std::string();
  return DaxHookUnicodeToSys(VekTempDir(system));
}

std::string VekFileInWriteDir(const std::string& name, const TVEKSystemParameters& system) {
  if (name.empty()) throw Exception("no file name");
  return FileIn(name, VekWriteDir(system));
}

void DaxCheckWritable(const std::string& name) {
  const std::string probe = name + ".$tmp$";
  // A link left under the probe's name is refused, not written through.
  int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    int err = errno != 0 ? errno : -1;
    DaxDeleteFileNoRaise(probe);
    DaxCheckFileCreateError(err, name);
  }
  int code = DaxWriteAllNoRaise(fd, "1\n", 2);
  // Delayed write errors (a full disk, a network file system) show at close.
  if (::close(fd) != 0 && code == 0) code = errno != 0 ? errno : -1;
  DaxDeleteFileNoRaise(probe);
  DaxCheckFileWriteError(code, name);
}

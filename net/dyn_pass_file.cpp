#include "net/dyn_pass_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/file_protect_rewrite.h"
#include "foundation/fileutils.h"
#include "foundation/paths.h"
#include "foundation/setup_data.h"
#include "foundation/types.h"

// ---------------------------------------------------------------------------
// Line-file helpers

bool VekReadFileLines(const std::string& file_name, std::vector<std::string>& lines) {
  lines.clear();
  TDaxTextFile f;
  const int code = DaxResetTextNoRaise(f, file_name);
  if (code == ENOENT) return false;
  DaxCheckFileOpenError(code, file_name);
  std::string line;
  while (!DaxTextEof(f)) {
    DaxTextReadLine(f, line);
    if (lines.empty() && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    lines.push_back(line);
  }
  DaxCloseTextFile(f);
  return true;
}

void VekWritePrivateFile(const std::string& file_name, const std::string& data) {
  int fd;
  do {
    fd = ::open(file_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) DaxCheckFileCreateError(errno ? errno : EIO, file_name);
  int code = 0;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      code = errno ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (code == 0 && ::fsync(fd) != 0) code = errno ? errno : EIO;
  if (::close(fd) != 0 && code == 0 && errno != EINTR) code = errno ? errno : EIO;
  if (code != 0) {
    DaxDeleteFileNoRaise(file_name);
    DaxCheckFileWriteError(code, file_name);
  }
}

void VekReplaceFileWith(const std::string& file_name,
                        const std::function<void(const std::string& path)>& write) {
  TFileRewriteProtector protector(file_name);
  write(protector.WritePath());
  protector.Commit();
}

bool VekHasLineBreakingChar(const std::u16string& text) {
  return text.find_first_of(u"|\r\n") != std::u16string::npos;
}

void VekCheckStorableValue(const std::u16string& text, const std::string& file_name) {
  if (VekHasLineBreakingChar(text))
    throw EFileException("value \"" + DaxUnicodeToSys(text) + "\" cannot be stored in file \"" +
                         file_name + "\": it holds \"|\", CR or LF");
}

// ---------------------------------------------------------------------------
// The dynamic-password file

namespace {

std::string Now() { return DaxDateTimeToStamp(DaxNowLocal()); }

bool SameKey(const std::u16string& a, const std::u16string& b) {
  return DaxUpperCaseAsciiW(a) == DaxUpperCaseAsciiW(b);
}

std::string FileName(const TVEKSystemParameters& system) {
  return VekFileInWriteDir(DaxUnicodeToSys(system.DynamicPasswordFileName), system);
}

void Rewrite(const std::string& file_name, const TDynPassArray& entries) {
  VekReplaceFileWith(file_name,
                     [&](const std::string& path) { VekSaveDynPassFile(path, entries); });
}

}  // namespace

bool VekLoadDynPassFile(const std::string& file_name, TDynPassArray& entries) {
  entries.clear();
  std::vector<std::string> lines;
  if (!VekReadFileLines(file_name, lines)) return false;
  bool made_up = false;
  for (const std::string& raw : lines) {
    const std::string line = DaxTrim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    std::string f1, f2, f3, f4;
    DaxGetField(line, '|', 1, f1);
    if (!DaxGetField(line, '|', 2, f2)) continue;
    DaxGetField(line, '|', 3, f3);
    f1 = DaxTrim(f1);
    f3 = DaxTrim(f3);
    if (f1.empty() || f3.empty()) continue;
    TDynPassArrayRecord rec;
    rec.Key1 = DaxUtf8ToUnicode(f1);
    rec.Key2 = DaxUtf8ToUnicode(f2);
    rec.Password = DaxUtf8ToUnicode(f3);
    const bool has_stamp = DaxGetField(line, '|', 4, f4);
    f4 = DaxTrim(f4);
    if (!has_stamp || f4.size() != 14) {
      rec.Stamp = Now();
      made_up = true;
    } else {
      rec.Stamp = f4;
    }
    entries.push_back(std::move(rec));
  }
  return made_up;
}

void VekSaveDynPassFile(const std::string& file_name, const TDynPassArray& entries) {
  std::string data;
  for (const auto& e : entries) {
    VekCheckStorableValue(e.Key1, file_name);
    VekCheckStorableValue(e.Key2, file_name);
    VekCheckStorableValue(e.Password, file_name);
    VekCheckStorableValue(DaxAnsiToUnicodeRaw(e.Stamp), file_name);
    data += DaxUnicodeToUtf8(e.Key1) + "|" + DaxUnicodeToUtf8(e.Key2) + "|" +
            DaxUnicodeToUtf8(e.Password) + "|" + e.Stamp + "\r\n";
  }
  VekWritePrivateFile(file_name, data);
}

void VekStoreDynamicPassword(const TVEKSystemParameters& system, const std::u16string& key1,
                             const std::u16string& key2, const std::u16string& password) {
  const std::string file_name = FileName(system);
  // Refused before the file is read, so a bad value never reaches it.
  VekCheckStorableValue(key1, file_name);
  VekCheckStorableValue(key2, file_name);
  VekCheckStorableValue(password, file_name);
  TDynPassArray entries;
  VekLoadDynPassFile(file_name, entries);
  TDynPassArrayRecord* found = nullptr;
  for (auto& e : entries) {
    if (SameKey(e.Key1, key1) && SameKey(e.Key2, key2)) {
      found = &e;
      break;
    }
  }
  if (found) {
    found->Password = password;
    found->Stamp = Now();
  } else {
    entries.push_back({key1, key2, password, Now()});
  }
  Rewrite(file_name, entries);
}

void VekFindDynamicPassword(const TVEKSystemParameters& system, const std::u16string& key1,
                            const std::u16string& key2, std::u16string& newest,
                            std::u16string& exact) {
  newest.clear();
  exact.clear();
  const std::string file_name = FileName(system);
  TDynPassArray entries;
  if (VekLoadDynPassFile(file_name, entries)) Rewrite(file_name, entries);
  bool have_exact = false;
  const TDynPassArrayRecord* best = nullptr;
  for (const auto& e : entries) {
    if (!SameKey(e.Key1, key1)) continue;
    if (!have_exact && SameKey(e.Key2, key2)) {
      exact = e.Password;
      have_exact = true;
    }
    if (!best || e.Stamp > best->Stamp) best = &e;
  }
  if (best) newest = best->Password;
}

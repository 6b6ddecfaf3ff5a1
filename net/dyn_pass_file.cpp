#include "net/dyn_pass_file.h"

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/fileutils.h"
#include "foundation/line_file.h"
#include "foundation/paths.h"
#include "foundation/setup_data.h"
#include "foundation/types.h"

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

void Rewrite(const TVEKSystemParameters& system, const std::string& file_name,
             const TDynPassArray& entries) {
  VekReplaceFileWith(
      file_name, [&](const std::string& path) { VekSaveDynPassFile(path, entries); },
      VekConfiguredTempDir(system));
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
  Rewrite(system, file_name, entries);
}

void VekFindDynamicPassword(const TVEKSystemParameters& system, const std::u16string& key1,
                            const std::u16string& key2, std::u16string& newest,
                            std::u16string& exact) {
  newest.clear();
  exact.clear();
  const std::string file_name = FileName(system);
  TDynPassArray entries;
  if (VekLoadDynPassFile(file_name, entries)) Rewrite(system, file_name, entries);
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

#include "foundation/inifile_utf8.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <memory>

#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "foundation/types.h"

// ---------------------------------------------------------------------------
// Booleans and floats

std::u16string DaxBoolToTrueFalse(bool b) { return b ? u"TRUE" : u"FALSE"; }
std::u16string DaxBoolToYesNo(bool b) { return b ? u"Yes" : u"No"; }

bool DaxTryStrToFloat(const std::u16string& s, float& value, const TDaxFormatSettings& fmt) {
  std::string ascii;
  ascii.reserve(s.size());
  size_t i = 0;
  auto digits = [&]() {
    size_t start = i;
    while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') ascii += static_cast<char>(s[i++]);
    return i - start;
  };
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
    if (s[i] == u'-') ascii += '-';
    ++i;
  }
  size_t mantissa = digits();
  if (i < s.size() && s[i] == fmt.DecimalSeparator) {
    ascii += '.';
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
    ascii += 'e';
    ++i;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ascii += static_cast<char>(s[i++]);
    if (digits() == 0) return false;
  }
  if (i != s.size()) return false;
  float v = 0;
  auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), v,
                                   std::chars_format::general);
  if (ec != std::errc() || end != ascii.data() + ascii.size() || !std::isfinite(v)) return false;
  value = v;
  return true;
}

namespace {

std::u16string FormatFloat(float v, const TDaxFormatSettings& fmt) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  std::u16string out;
  if (ec != std::errc()) return out;
  for (char* p = buf; p != end; ++p) out += *p == '.' ? fmt.DecimalSeparator : char16_t(*p);
  return out;
}

// The NUL-terminated parsers would stop at an embedded NUL and accept the
// digits before it.
bool HasNul(const std::u16string& s) { return s.find(u'\0') != std::u16string::npos; }

bool ParseInt(const std::u16string& s, int32_t& v) {
  return !HasNul(s) && DaxTryStrToIntW(s, v);
}

}  // namespace

// ---------------------------------------------------------------------------
// TIniFileUTF8

TIniFileUTF8::TIniFileUTF8(const std::u16string& file_name, bool force_load)
    : file_name_(file_name), force_load_(force_load ? 1 : 0) {
  sections_.SetCaseSensitive(false);
  try {
    Load();
  } catch (...) {
    FreeSections();
    throw;
  }
}

TIniFileUTF8::~TIniFileUTF8() {
  if (modified_) {
    try {
      Save();
    } catch (...) {
      // A destructor cannot report; the old file is kept or restored.
    }
  }
  FreeSections();
}

void TIniFileUTF8::FreeKeys(TUnicodeStringList* keys) {
  for (int i = 0; i < keys->Count(); ++i) delete static_cast<std::u16string*>(keys->GetObject(i));
  keys->Clear();
}

void TIniFileUTF8::FreeSections() {
  for (int i = 0; i < sections_.Count(); ++i) {
    auto* keys = static_cast<TUnicodeStringList*>(sections_.GetObject(i));
    FreeKeys(keys);
    delete keys;
  }
  sections_.Clear();
}

TUnicodeStringList* TIniFileUTF8::GetSection(const std::u16string& name) {
  int index = sections_.IndexOf(name);
  if (index >= 0) return static_cast<TUnicodeStringList*>(sections_.GetObject(index));
  auto keys = std::make_unique<TUnicodeStringList>();
  sections_.AddObject(name, keys.get());
  return keys.release();
}

void TIniFileUTF8::SetValue(TUnicodeStringList* keys, const std::u16string& key,
                            const std::u16string& value) {
  auto v = std::make_unique<std::u16string>(value);
  int index = keys->IndexOf(key);
  if (index >= 0) {
    delete static_cast<std::u16string*>(keys->GetObject(index));
    keys->SetObject(index, v.release());
    return;
  }
  keys->AddObject(key, v.get());
  v.release();
}

void TIniFileUTF8::Load() {
  const std::string name = DaxHookUnicodeToSys(file_name_);
  if (!force_load_) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return;
  }
  TDaxTextFile f;
  DaxResetTextBuffered(f, name, kBufferSize);
  loaded_ = 1;
  TUnicodeStringList* current = nullptr;
  bool first = true;
  std::string line;
  while (!DaxTextEof(f)) {
    DaxTextReadLine(f, line);
    size_t start = 0;
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
    first = false;
    while (start < line.size() && static_cast<unsigned char>(line[start]) <= 0x20) ++start;
    if (start == line.size() || line[start] == ';' || line[start] == '#') continue;
    if (line[start] == '[') {
      size_t close = line.find(']', start + 1);
      if (close == std::string::npos || close == start + 1) continue;
      current = GetSection(DaxUtf8ToUnicode(line.substr(start + 1, close - start - 1)));
      continue;
    }
    if (current == nullptr) continue;
    size_t eq = line.find('=', start);
    if (eq == std::string::npos) continue;
    size_t key_end = eq;
    while (key_end > start && (line[key_end - 1] == ' ' || line[key_end - 1] == '\t')) --key_end;
    if (key_end == start) continue;
    SetValue(current, DaxUtf8ToUnicode(line.substr(start, key_end - start)),
             DaxUtf8ToUnicode(line.substr(eq + 1)));
  }
  int code = DaxCloseTextFile(f);
  if (code != 0) DaxRaiseFileReadError(code, name);
}

void TIniFileUTF8::Save() {
  const std::string name = DaxHookUnicodeToSys(file_name_);
  if (!loaded_) {
    TDaxTextFile empty;
    DaxCreateText(empty, name);
    DaxCheckFileWriteErrorF(DaxCloseTextFile(empty), empty);
  }
  size_t slash = name.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  const std::string new_name = dir + "." + base + ".$new";
  const std::string old_name = dir + "." + base + ".$old";

  TDaxTextFile f;
  DaxCreateTextBuffered(f, new_name, kBufferSize);
  try {
    try {
      // The replacement keeps the file's permissions (it may hold passwords).
      struct stat st {};
      if (::stat(name.c_str(), &st) == 0 && ::fchmod(f.Descriptor(), st.st_mode & 07777) != 0)
        DaxCheckFileWriteErrorF(errno, f);
      for (int i = 0; i < sections_.Count(); ++i) {
        auto* keys = static_cast<TUnicodeStringList*>(sections_.GetObject(i));
        if (keys->Count() == 0) continue;
        std::string text = i != 0 ? "\n[" : "[";
        text += DaxUnicodeToUtf8(sections_.GetString(i)) + "]\n";
        for (int k = 0; k < keys->Count(); ++k) {
          text += DaxUnicodeToUtf8(keys->GetString(k)) + "=" +
                  DaxUnicodeToUtf8(*static_cast<std::u16string*>(keys->GetObject(k))) + "\n";
        }
        DaxTextWriteBytes(f, text.data(), text.size());
      }
      DaxCheckFileWriteErrorF(f.FlushNoRaise(), f);
      // The new content must be on disk before it takes the file's name.
      if (::fsync(f.Descriptor()) != 0) DaxCheckFileWriteErrorF(errno, f);
    } catch (...) {
      DaxCloseTextFile(f);
      throw;
    }
    DaxCheckFileWriteErrorF(DaxCloseTextFile(f), f);

    // A hard link keeps the old file under its own name until the rename
    // below replaces it in one step; where links are refused, the file is
    // moved aside as before.
    DaxDeleteFileNoRaise(old_name);
    bool linked = ::link(name.c_str(), old_name.c_str()) == 0;
    if (!linked) DaxRenameFile(name, old_name);
    try {
      DaxRenameFile(new_name, name);
    } catch (...) {
      if (linked)
        DaxDeleteFileNoRaise(old_name);
      else
        DaxRenameFileNoRaise(old_name, name);
      throw;
    }
    DaxDeleteFileNoRaise(old_name);
  } catch (...) {
    DaxDeleteFileNoRaise(new_name);
    throw;
  }
  modified_ = 0;
}

const std::u16string* TIniFileUTF8::Find(const std::u16string& section,
                                         const std::u16string& key) const {
  int s = sections_.IndexOf(section);
  if (s < 0) return nullptr;
  auto* keys = static_cast<const TUnicodeStringList*>(sections_.GetObject(s));
  int k = keys->IndexOf(key);
  if (k < 0) return nullptr;
  return static_cast<const std::u16string*>(keys->GetObject(k));
}

std::u16string TIniFileUTF8::ReadRaw(const std::u16string& section, const std::u16string& key,
                                     const std::u16string& def) const {
  const std::u16string* v = Find(section, key);
  return v != nullptr ? *v : def;
}

std::u16string TIniFileUTF8::ReadString(const std::u16string& section, const std::u16string& key,
                                        const std::u16string& def) const {
  return DaxTrimW(ReadRaw(section, key, def));
}

std::u16string TIniFileUTF8::ReadStringTrimLeft(const std::u16string& section,
                                                const std::u16string& key,
                                                const std::u16string& def) const {
  return DaxTrimLeftW(ReadRaw(section, key, def));
}

std::u16string TIniFileUTF8::ReadStringNotEmpty(const std::u16string& section,
                                                const std::u16string& key,
                                                const std::u16string& def_missing,
                                                const std::u16string& def_empty) const {
  const std::u16string* v = Find(section, key);
  if (v == nullptr) return def_missing;
  std::u16string t = DaxTrimW(*v);
  return t.empty() ? def_empty : t;
}

int32_t TIniFileUTF8::ReadInteger(const std::u16string& section, const std::u16string& key,
                                  int32_t def) const {
  int32_t v = def;
  return ParseInt(ReadString(section, key, u""), v) ? v : def;
}

int32_t TIniFileUTF8::ReadIntegerEx(const std::u16string& section, const std::u16string& key,
                                    int32_t def_missing, int32_t def_empty,
                                    int32_t def_invalid) const {
  const std::u16string* raw = Find(section, key);
  if (raw == nullptr) return def_missing;
  if (DaxTrimW(*raw).empty()) return def_empty;
  int32_t v = def_invalid;
  return ParseInt(*raw, v) ? v : def_invalid;
}

int64_t TIniFileUTF8::ReadInt64(const std::u16string& section, const std::u16string& key,
                                int64_t def) const {
  std::u16string s = ReadString(section, key, u"");
  int64_t v = def;
  return !HasNul(s) && DaxTryStrToInt64W(s, v) ? v : def;
}

// Booleans and flags read alike: trimmed, then an integer or a word.
bool TIniFileUTF8::ReadBool(const std::u16string& section, const std::u16string& key,
                            bool def) const {
  return ReadFlag(section, key, def);
}

bool TIniFileUTF8::ReadFlag(const std::u16string& section, const std::u16string& key,
                            bool def) const {
  bool v = def;
  return TryReadFlag(section, key, v) == drs_Read ? v : def;
}

// The trimmed value through `parse`, which sets its result only on success.
template <class F>
TDaxReadState TIniFileUTF8::TryRead(const std::u16string& section, const std::u16string& key,
                                    F&& parse) const {
  const std::u16string* raw = Find(section, key);
  if (raw == nullptr) return drs_Missing;
  const std::u16string text = DaxTrimW(*raw);
  if (text.empty()) return drs_Empty;
  return !HasNul(text) && parse(text) ? drs_Read : drs_Unreadable;
}

TDaxReadState TIniFileUTF8::TryReadFlag(const std::u16string& section, const std::u16string& key,
                                        bool& value) const {
  // The boolean parser takes any 64-bit integer first, not 0 meaning true.
  return TryRead(section, key, [&](const std::u16string& t) { return DaxTryStrToBoolW(t, value); });
}

TDaxReadState TIniFileUTF8::TryReadInteger(const std::u16string& section,
                                           const std::u16string& key, int32_t& value) const {
  return TryRead(section, key, [&](const std::u16string& t) { return DaxTryStrToIntW(t, value); });
}

TDaxReadState TIniFileUTF8::TryReadInt64(const std::u16string& section, const std::u16string& key,
                                         int64_t& value) const {
  return TryRead(section, key,
                 [&](const std::u16string& t) { return DaxTryStrToInt64W(t, value); });
}

TDaxReadState TIniFileUTF8::TryReadFloat(const std::u16string& section, const std::u16string& key,
                                         float& value, const TDaxFormatSettings& fmt) const {
  return TryRead(section, key,
                 [&](const std::u16string& t) { return DaxTryStrToFloat(t, value, fmt); });
}

float TIniFileUTF8::ReadFloat(const std::u16string& section, const std::u16string& key, float def,
                              const TDaxFormatSettings& fmt) const {
  float v = def;
  return DaxTryStrToFloat(ReadString(section, key, FormatFloat(def, fmt)), v, fmt) ? v : def;
}

#include "foundation/charset.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/types.h"

extern char** environ;

namespace {

constexpr const char* kUnicodeSide = "UNICODELITTLE";
const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);

std::string InitialSystemCharset() {
  std::string v = DaxGetEnvValue("LANG");
  if (v.empty()) v = DaxGetEnvValue("MM_CHARSET");
  size_t dot = v.find('.');
  if (dot != std::string::npos) v.erase(0, dot + 1);
  // "de_DE.UTF-8@euro": iconv knows no modifiers.
  size_t at = v.find('@');
  if (at != std::string::npos) v.erase(at);
  if (v.empty()) v = "UTF-8";
  return v;
}

// The UTF-16 side is little-endian whatever the host's byte order.
[[maybe_unused]] void UnitsToLittleEndian(const std::u16string& s, std::vector<char>& bytes) {
  bytes.resize(s.size() * 2);
  for (size_t i = 0; i < s.size(); ++i) {
    bytes[2 * i] = static_cast<char>(s[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(s[i] >> 8);
  }
}

}  // namespace

std::string DaxSystemCharset = InitialSystemCharset();

TDaxAnsiToSysProc DaxHookAnsiToSys = DaxAnsiToSysCopy;
TDaxSysToUnicodeProc DaxHookSysToUnicode = DaxSysToUnicodeProc;
TDaxUnicodeToSysProc DaxHookUnicodeToSys = DaxUnicodeToSysProc;
TDaxSysToAnsiProc DaxHookSysToAnsi = DaxSysToAnsiCopy;

std::u16string DaxSysTextToUnicode(const std::string& s) {
  return DaxHookSysToUnicode ? DaxHookSysToUnicode(s) : DaxAnsiToUnicodeRaw(s);
}

std::u16string DaxSysTextToUnicode(const char* s) {
  return DaxSysTextToUnicode(std::string(s ? s : ""));
}

std::string DaxAnsiToSysCopy(const std::string& s) { return s; }
std::string DaxSysToAnsiCopy(const std::string& s) { return s; }

std::string DaxNarrowFallback(const std::u16string& s) {
  std::string r(s.size(), '?');
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] < 256) r[i] = static_cast<char>(s[i]);
  return r;
}

std::u16string DaxWidenFallback(const std::string& s) { return DaxAnsiToUnicodeRaw(s); }

std::u16string DaxWidenFallback(const char* p, int length) {
  return DaxPCharToUnicodeRaw(p, length);
}

void DaxInitSystemCharset() { DaxSystemCharset = InitialSystemCharset(); }

void DaxSetSystemCharset(const std::u16string& name) {
  std::string n = DaxUpperCaseAscii(DaxUnicodeToAnsiRaw(name));
  if (n == DaxSystemCharset) return;
  iconv_t cd = iconv_open(n.c_str(), kUnicodeSide);
  if (cd == kClosed) return;
  iconv_close(cd);
  DaxSystemCharset = n;
}

// ---------------------------------------------------------------------------
// The loops

int DaxIconvFromUnicode(iconv_t cd, const std::u16string& text, std::string& result) {
  result.clear();
  if (text.empty()) return 0;
  // iconv's prototype is not const-correct; it never writes the input.
  char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
  std::vector<char> swapped;
  if constexpr (std::endian::native != std::endian::little) {
    UnitsToLittleEndian(text, swapped);
    in = swapped.data();
  }
  size_t in_left = text.size() * 2;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a failed call may have left state

  std::vector<char> out(6 * in_left + 6);
  size_t used = 0;
  auto grow = [&] { out.resize(out.size() + 6 * in_left + 6); };

  while (in_left > 0) {
    char* o = out.data() + used;
    size_t o_left = out.size() - used;
    size_t rc = iconv(cd, &in, &in_left, &o, &o_left);
    used = static_cast<size_t>(o - out.data());
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == EILSEQ) {
      if (used == out.size()) grow();
      out[used++] = '?';
      size_t skip = in_left < 2 ? in_left : 2;
      in += skip;
      in_left -= skip;
    } else if (errno == E2BIG) {
      grow();
    } else {
      return -1;
    }
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    char* o = out.data() + used;
    size_t o_left = out.size() - used;
    size_t rc = iconv(cd, nullptr, nullptr, &o, &o_left);
    used = static_cast<size_t>(o - out.data());
    if (rc != static_cast<size_t>(-1)) break;
    if (errno != E2BIG || attempt == 1) return -1;
    grow();
  }
  result.assign(out.data(), used);
  return 0;
}

int DaxIconvBufToUnicode(iconv_t cd, const char* p, int length, std::u16string& result) {
  result.clear();
  if (length <= 0) return 0;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);

  char* in = const_cast<char*>(p);
  size_t in_left = static_cast<size_t>(length);
  std::vector<char> out(2 * (3 * in_left + 5));
  size_t used = 0;
  auto grow = [&] { out.resize(out.size() + 2 * (3 * in_left + 5)); };

  while (in_left > 0) {
    char* o = out.data() + used;
    size_t o_left = out.size() - used;
    size_t rc = iconv(cd, &in, &in_left, &o, &o_left);
    used = static_cast<size_t>(o - out.data());
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno != E2BIG) return errno ? errno : -1;
    grow();
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    char* o = out.data() + used;
    size_t o_left = out.size() - used;
    size_t rc = iconv(cd, nullptr, nullptr, &o, &o_left);
    used = static_cast<size_t>(o - out.data());
    if (rc != static_cast<size_t>(-1)) break;
    if (errno != E2BIG || attempt == 1) return errno ? errno : -1;
    grow();
  }
  const size_t units = used / 2;
  result.resize(units);
  const auto* b = reinterpret_cast<const unsigned char*>(out.data());
  for (size_t i = 0; i < units; ++i)
    result[i] = static_cast<char16_t>(b[2 * i] | (b[2 * i + 1] << 8));
  return 0;
}

int DaxIconvToUnicode(iconv_t cd, const std::string& text, std::u16string& result) {
  return DaxIconvBufToUnicode(cd, text.data(), static_cast<int>(text.size()), result);
}

// ---------------------------------------------------------------------------
// Named conversions

int DaxUnicodeToCharset(const std::u16string& text, std::string& result,
                        const std::string& charset) {
  iconv_t cd = iconv_open(charset.c_str(), kUnicodeSide);
  if (cd == kClosed) {
    int err = errno ? errno : -1;
    result = DaxNarrowFallback(text);
    return err;
  }
  int code;
  try {
    code = DaxIconvFromUnicode(cd, text, result);
  } catch (...) {
    iconv_close(cd);
    throw;
  }
  iconv_close(cd);
  return code;
}

int DaxCharsetBufToUnicode(const char* p, int length, std::u16string& result,
                           const std::string& charset) {
  iconv_t cd = iconv_open(kUnicodeSide, charset.c_str());
  if (cd == kClosed) {
    int err = errno ? errno : -1;
    result = DaxWidenFallback(p, length);
    return err;
  }
  int code;
  try {
    code = DaxIconvBufToUnicode(cd, p, length, result);
  } catch (...) {
    iconv_close(cd);
    throw;
  }
  iconv_close(cd);
  return code;
}

int DaxCharsetToUnicode(const std::string& text, std::u16string& result,
                        const std::string& charset) {
  return DaxCharsetBufToUnicode(text.data(), static_cast<int>(text.size()), result, charset);
}

std::string DaxUnicodeToSys(const std::u16string& s) {
  std::string r;
  if (DaxUnicodeToCharset(s, r, DaxSystemCharset) != 0) return DaxNarrowFallback(s);
  return r;
}

std::string DaxUnicodeToSysProc(const std::u16string& s) { return DaxUnicodeToSys(s); }

std::u16string DaxSysToUnicodeProc(const std::string& s) {
  std::u16string r;
  if (DaxCharsetToUnicode(s, r, DaxSystemCharset) != 0) return DaxWidenFallback(s);
  return r;
}

std::u16string DaxUtf8BufToUnicode(const char* p, int length) {
  std::u16string r;
  if (DaxCharsetBufToUnicode(p, length, r, "UTF-8") != 0) return DaxWidenFallback(p, length);
  return r;
}

std::u16string DaxUtf8ToUnicode(const std::string& s) {
  return DaxUtf8BufToUnicode(s.data(), static_cast<int>(s.size()));
}

std::string DaxUnicodeToUtf8(const std::u16string& s) {
  std::string r;
  if (DaxUnicodeToCharset(s, r, "UTF-8") != 0) return DaxNarrowFallback(s);
  return r;
}

// ---------------------------------------------------------------------------
// Environment

int DaxEnvCount() {
  int n = 0;
  if (environ)
    for (char** e = environ; *e; ++e) ++n;
  return n;
}

std::string DaxEnvEntry(int n) {
  if (n < 1 || !environ) return {};
  for (char** e = environ; *e; ++e)
    if (--n == 0) return std::string(*e, strnlen(*e, 255));
  return {};
}

std::string DaxGetEnvValue(const std::string& name, std::string* found_name) {
  const std::string wanted = DaxUpperCaseAscii(name);
  if (!environ) return {};
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e, strnlen(*e, 255));
    size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    if (DaxUpperCaseAscii(entry.substr(0, eq)) != wanted) continue;
    if (found_name) *found_name = entry.substr(0, eq);
    return entry.substr(eq + 1);
  }
  return {};
}

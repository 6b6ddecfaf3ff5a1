#include "foundation/tags.h"

#include "foundation/ansi_unicode_converter.h"
#include "foundation/charset.h"
#include "foundation/inifile_utf8.h"
#include "foundation/types.h"

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Two hex digits at p (p + 1 < end checked by the caller) as one byte, or -1.
int HexByte(const char* p) {
  const int hi = HexValue(p[0]);
  const int lo = HexValue(p[1]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

void AppendHexByte(std::string& out, unsigned b) {
  out.push_back(kHexDigits[(b >> 4) & 0xF]);
  out.push_back(kHexDigits[b & 0xF]);
}

}  // namespace

std::string VekTagBuild(const std::string& name, const std::string& value) {
  std::string out;
  out.reserve(2 * name.size() + value.size() + 5);
  out += '<';
  out += name;
  out += '>';
  out += value;
  out += "</";
  out += name;
  out += '>';
  return out;
}

bool VekTagExtract(const std::string& name, const std::string& data, std::string& value) {
  if (data.empty() || name.empty() || name.size() > 125) return false;
  const std::string open = "<" + name + ">";
  const size_t pos = data.find(open);
  if (pos == std::string::npos) return false;
  const size_t start = pos + open.size();
  if (data.size() - start < name.size() + 3) return false;
  const size_t close = data.find("</" + name + ">", start);
  if (close == std::string::npos) return false;
  value = data.substr(start, close - start);
  return true;
}

std::string DaxHexLenField(const std::string& data) {
  const size_t n = data.size();
  std::string out;
  if (n < 128) {
    out.reserve(2 + n);
    AppendHexByte(out, static_cast<unsigned>(n));
  } else {
    const int k = n <= 0xFF ? 1 : n <= 0xFFFF ? 2 : n <= 0xFFFFFF ? 3 : 4;
    out.reserve(2 + 2 * k + n);
    out.push_back('8');
    out.push_back(kHexDigits[k]);
    for (int i = k - 1; i >= 0; --i) AppendHexByte(out, static_cast<unsigned>(n >> (8 * i)));
  }
  out += data;
  return out;
}

std::string DaxTypedHexLenField(char type, const std::string& data) {
  if (data.empty()) return std::string();
  return type + DaxHexLenField(data);
}

std::string VekTypedUtf8Field(char type, const std::u16string& text) {
  if (text.empty()) return std::string();
  return DaxTypedHexLenField(type, DaxUnicodeToUtf8(text));
}

std::u16string VekTrimCut(const std::u16string& text, int n) {
  std::u16string t = DaxTrimW(text);
  if (n < 0) n = 0;
  if (t.size() > static_cast<size_t>(n)) t.resize(static_cast<size_t>(n));
  return DaxTrimW(t);
}

std::string VekAccountRecord(uint8_t clientType, const std::u16string& email,
                             const std::u16string& operatorText,
                             const std::u16string& password,
                             const std::u16string& bandChannel,
                             const std::u16string& description, const std::u16string& city,
                             const std::u16string& country, const std::u16string& network) {
  std::string out = Vek012ToDigit(clientType);
  out += VekTypedUtf8Field('0', email);
  out += VekTypedUtf8Field('1', password);
  out += VekTypedUtf8Field('2', operatorText);
  out += VekTypedUtf8Field('3', VekTrimCut(bandChannel, 40));
  out += VekTypedUtf8Field('4', VekTrimCut(description, 80));
  out += VekTypedUtf8Field('5', country);
  out += VekTypedUtf8Field('6', VekTrimCut(city, 64));
  out += VekTypedUtf8Field('7', VekTrimCut(network, 32));
  return out;
}

bool DaxHexLenDecode(const char*& cursor, const char* end, uint32_t& length) {
  const char* p = cursor;
  if (p == nullptr || end - p < 2) return false;
  const int lead = HexByte(p);
  if (lead < 0) return false;
  p += 2;
  if (lead <= 0x80) {
    length = static_cast<uint32_t>(lead);
    cursor = p;
    return true;
  }
  // More than four length bytes would not fit the 32-bit length.
  const int k = lead - 0x80;
  if (k > 4 || end - p < 2 * k) return false;
  uint32_t n = 0;
  for (int i = 0; i < k; ++i, p += 2) {
    const int b = HexByte(p);
    if (b < 0) return false;
    n = (n << 8) | static_cast<uint32_t>(b);
  }
  length = n;
  cursor = p;
  return true;
}

bool DaxHexLenDecode(std::string_view& cursor, uint32_t& length) {
  const char* p = cursor.data();
  const char* end = p + cursor.size();
  if (!DaxHexLenDecode(p, end, length)) return false;
  cursor.remove_prefix(static_cast<size_t>(p - cursor.data()));
  return true;
}

bool DaxHexToInt(const char* text, int count, uint32_t& value) {
  uint32_t v = 0;
  for (int i = 0; i < count; ++i) {
    if (v > 0x0FFFFFFFu) throw EIntOverflow("Integer overflow");
    const int d = HexValue(text[i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  value = v;
  return true;
}

bool DaxHexToInt(const std::string& text, uint32_t& value) {
  return DaxHexToInt(text.data(), static_cast<int>(text.size()), value);
}

std::string VekFitEncodedLength(TAnsiUnicodeConverter& converter, int maxBytes,
                                const std::u16string& text) {
  if (text.empty() || maxBytes <= 0) return std::string();
  // Every code unit converts to at least one byte, so a longer prefix can
  // never fit; this keeps long texts from being converted over and over.
  std::u16string t = text.substr(0, static_cast<size_t>(maxBytes));
  for (;;) {
    std::string bytes = converter.UnicodeToAnsi(t);
    if (bytes.size() <= static_cast<size_t>(maxBytes)) return bytes;
    t.pop_back();
    if (t.empty()) return std::string();
  }
}

std::u16string VekHostPortText(const std::u16string& host, int32_t port) {
  const std::u16string p = DaxAnsiToUnicodeRaw(std::to_string(port));
  if (host.find(u':') != std::u16string::npos) return u"[" + host + u"]:" + p;
  return host + u":" + p;
}

bool VekTryParsePort(const std::u16string& text, int32_t& port) {
  int32_t v = 0;
  if (!DaxTryStrToIntW(DaxTrimW(text), v) || v < 1 || v > 65535) return false;
  port = v;
  return true;
}

bool VekTryParsePortA(const std::string& text, int32_t& port) {
  int32_t v = 0;
  if (!DaxTryStrToInt(DaxTrim(text), v) || v < 1 || v > 65535) return false;
  port = v;
  return true;
}

int32_t VekIniReadPort(const TIniFileUTF8& ini, const std::u16string& section,
                       const std::u16string& key, int32_t def) {
  int32_t port = def;
  const std::u16string text = ini.ReadString(section, key, DaxAnsiToUnicodeRaw(std::to_string(def)));
  return VekTryParsePort(text, port) ? port : def;
}

bool VekDigitTo012(char c, uint8_t& value) {
  if (c < '0' || c > '2') return false;
  value = static_cast<uint8_t>(c - '0');
  return true;
}

std::string Vek012ToDigit(int value) { return std::string(1, static_cast<char>('0' + value)); }

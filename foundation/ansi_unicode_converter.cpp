#include "foundation/ansi_unicode_converter.h"

#include "foundation/charset.h"
#include "foundation/types.h"

namespace {
const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);
}

void DaxRaiseInvalidCharsetName(const std::u16string& name) {
  throw EAnsiUnicodeConverterInvalidCharsetName("Invalid or unknown charset name: " +
                                                DaxUnicodeToAnsiRaw(name));
}

TAnsiUnicodeConverter::~TAnsiUnicodeConverter() { CloseHandles(); }

void TAnsiUnicodeConverter::CloseHandles() {
  if (to_handle_ != kClosed) iconv_close(to_handle_);
  if (from_handle_ != kClosed) iconv_close(from_handle_);
  to_handle_ = kClosed;
  from_handle_ = kClosed;
  handles_open_ = false;
}

void TAnsiUnicodeConverter::SetCharset(const std::u16string& name) {
  const std::string n = DaxUpperCaseAscii(DaxUnicodeToAnsiRaw(DaxTrimW(name)));
  if (n == charset_name_) return;
  charset_name_ = n;
  CloseHandles();
  byte_mode_ = false;
  if (n == "BIN") {
    byte_mode_ = true;
    return;
  }
  to_handle_ = iconv_open(n.c_str(), "UNICODELITTLE");
  if (to_handle_ == kClosed) DaxRaiseInvalidCharsetName(name);
  from_handle_ = iconv_open("UNICODELITTLE", n.c_str());
  if (from_handle_ == kClosed) {
    CloseHandles();
    DaxRaiseInvalidCharsetName(name);
  }
  handles_open_ = true;
}

std::u16string TAnsiUnicodeConverter::AnsiToUnicode(const std::string& s) {
  return BufToUnicode(s.data(), static_cast<int32_t>(s.size()));
}

std::u16string TAnsiUnicodeConverter::BufToUnicode(const char* p, int32_t length) {
  if (length <= 0) return {};
  if (byte_mode_ || !handles_open_) return DaxWidenFallback(p, length);
  std::u16string r;
  if (DaxIconvBufToUnicode(from_handle_, p, length, r) != 0) return DaxWidenFallback(p, length);
  return r;
}

std::string TAnsiUnicodeConverter::UnicodeToAnsi(const std::u16string& s) {
  if (s.empty()) return {};
  if (!handles_open_) return DaxNarrowFallback(s);
  std::string r;
  if (DaxIconvFromUnicode(to_handle_, s, r) != 0) return DaxNarrowFallback(s);
  return r;
}

// Converts between the program's UTF-16 text and one named charset, keeping
// its iconv descriptors open between calls. "BIN" means bytes as characters.
// One converter is used by one thread at a time.
#pragma once

#include <iconv.h>

#include <cstdint>
#include <string>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EAnsiUnicodeConverterError, Exception);
// "Invalid or unknown charset name: %s"
DAX_DECLARE_EXCEPTION(EAnsiUnicodeConverterInvalidCharsetName, EAnsiUnicodeConverterError);

// Raises EAnsiUnicodeConverterInvalidCharsetName with the name narrowed to
// 8 bits.
[[noreturn]] void DaxRaiseInvalidCharsetName(const std::u16string& name);

class TAnsiUnicodeConverter {
 public:
  TAnsiUnicodeConverter() = default;
  ~TAnsiUnicodeConverter();
  TAnsiUnicodeConverter(const TAnsiUnicodeConverter&) = delete;
  TAnsiUnicodeConverter& operator=(const TAnsiUnicodeConverter&) = delete;

  // Trimmed and upper-cased; the same name again does nothing. An unknown
  // name raises, and the converter then holds that name with closed handles
  // (fallback conversions).
  void SetCharset(const std::u16string& name);

  // Empty input gives empty output. Invalid input gives the widening.
  std::u16string AnsiToUnicode(const std::string& s);
  std::u16string BufToUnicode(const char* p, int32_t length);
  // Units the charset lacks become "?".
  std::string UnicodeToAnsi(const std::u16string& s);

  TAnsiUnicodeConverter* GetSelf(void*) { return this; }

  const std::string& CharsetName() const { return charset_name_; }
  bool HandlesOpen() const { return handles_open_; }
  bool ByteMode() const { return byte_mode_; }
  iconv_t ToHandle() const { return to_handle_; }
  iconv_t FromHandle() const { return from_handle_; }

 private:
  void CloseHandles();

  iconv_t to_handle_ = reinterpret_cast<iconv_t>(-1);
  iconv_t from_handle_ = reinterpret_cast<iconv_t>(-1);
  bool handles_open_ = false;
  bool byte_mode_ = false;
  std::string charset_name_;
};

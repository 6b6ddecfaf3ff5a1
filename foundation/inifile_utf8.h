// The UTF-8 INI reader of the configuration file; it keeps its sections and
// keys on UTF-16 string lists. The reader has its own, deliberately
// simple line rules (comments only at line start, the value is everything
// after the first "="), and typed reads that never raise: anything missing
// or unusable yields the caller's default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/exception.h"
#include "foundation/unicode_string_list.h"

// The caller's number format for ReadFloat.
struct TDaxFormatSettings {
  char16_t DecimalSeparator = u'.';
};

std::u16string DaxBoolToTrueFalse(bool b);  // "TRUE" / "FALSE"
std::u16string DaxBoolToYesNo(bool b);      // "Yes" / "No"

// Strict float text: optional sign, digits with an optional decimal
// separator (digits on at least one side), optional exponent. No infinity,
// no NaN, no hexadecimal, no thousands separator; out-of-range fails.
bool DaxTryStrToFloat(const std::u16string& s, float& value, const TDaxFormatSettings& fmt);

// What a typed read found: no such key, an empty value, a value, or a text
// that is not of the type asked for.
enum TDaxReadState : uint8_t { drs_Missing, drs_Empty, drs_Read, drs_Unreadable };

class TIniFileUTF8 {
 public:
  static constexpr size_t kBufferSize = 0x20000;

  // Loads the file; a missing file is an empty INI unless force_load is set
  // (then EFileExceptionOpenError with code 2). Raises the file errors.
  TIniFileUTF8(const std::u16string& file_name, bool force_load);
  ~TIniFileUTF8();
  TIniFileUTF8(const TIniFileUTF8&) = delete;
  TIniFileUTF8& operator=(const TIniFileUTF8&) = delete;

  // Writes every non-empty section to a hidden ".$new" file next to the file
  // and swaps it in; the old file stays reachable until the new one is in
  // place.
  void Save();

  // The section's key list (objects: the values, std::u16string*, owned by
  // this INI); a new section is appended.
  TUnicodeStringList* GetSection(const std::u16string& name);
  // Appends the key or replaces its value (the key keeps its first spelling
  // and place).
  void SetValue(TUnicodeStringList* keys, const std::u16string& key, const std::u16string& value);

  std::u16string ReadRaw(const std::u16string& section, const std::u16string& key,
                         const std::u16string& def) const;
  std::u16string ReadString(const std::u16string& section, const std::u16string& key,
                            const std::u16string& def) const;
  std::u16string ReadStringTrimLeft(const std::u16string& section, const std::u16string& key,
                                    const std::u16string& def) const;
  std::u16string ReadStringNotEmpty(const std::u16string& section, const std::u16string& key,
                                    const std::u16string& def_missing,
                                    const std::u16string& def_empty) const;
  int32_t ReadInteger(const std::u16string& section, const std::u16string& key,
                      int32_t def) const;
  int32_t ReadIntegerEx(const std::u16string& section, const std::u16string& key,
                        int32_t def_missing, int32_t def_empty, int32_t def_invalid) const;
  int64_t ReadInt64(const std::u16string& section, const std::u16string& key, int64_t def) const;
  // The value trimmed as ReadString trims it (so "Flag = yes" reads), then
  // an integer (true when not 0) or a boolean word; else the default.
  // Booleans and flags read alike.
  bool ReadBool(const std::u16string& section, const std::u16string& key, bool def) const;
  bool ReadFlag(const std::u16string& section, const std::u16string& key, bool def) const;
  // The typed reads telling a missing or empty value from an unreadable
  // one; the value is trimmed first and `value` is set only for drs_Read.
  TDaxReadState TryReadFlag(const std::u16string& section, const std::u16string& key,
                            bool& value) const;
  TDaxReadState TryReadInteger(const std::u16string& section, const std::u16string& key,
                               int32_t& value) const;
  TDaxReadState TryReadInt64(const std::u16string& section, const std::u16string& key,
                             int64_t& value) const;
  TDaxReadState TryReadFloat(const std::u16string& section, const std::u16string& key,
                             float& value, const TDaxFormatSettings& fmt) const;
  float ReadFloat(const std::u16string& section, const std::u16string& key, float def,
                  const TDaxFormatSettings& fmt) const;

  bool Loaded() const { return loaded_ != 0; }
  bool Modified() const { return modified_ != 0; }
  const std::u16string& FileName() const { return file_name_; }
  const TUnicodeStringList& Sections() const { return sections_; }

 private:
  void Load();
  void FreeSections();
  static void FreeKeys(TUnicodeStringList* keys);
  // The stored value, or nullptr when the section or key is missing.
  const std::u16string* Find(const std::u16string& section, const std::u16string& key) const;
  template <class F>
  TDaxReadState TryRead(const std::u16string& section, const std::u16string& key,
                        F&& parse) const;

  uint8_t modified_ = 0;
  uint8_t loaded_ = 0;
  std::u16string file_name_;
  TUnicodeStringList sections_;
  uint8_t force_load_ = 0;
};

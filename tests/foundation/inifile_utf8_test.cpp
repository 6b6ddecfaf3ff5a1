#include "foundation/inifile_utf8.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "foundation/fileutils.h"
#include "support/test_files.h"

namespace {

using vektest::TempDir;
using vektest::WriteFile;
using vektest::ReadFile;

std::u16string W(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class IniFromText {
 public:
  explicit IniFromText(const std::string& text) {
    WriteFile(dir_ / "t.ini", text);
    ini_ = std::make_unique<TIniFileUTF8>(W(dir_ / "t.ini"), false);
  }
  TIniFileUTF8& operator*() { return *ini_; }
  TIniFileUTF8* operator->() { return ini_.get(); }

 private:
  TempDir dir_;
  std::unique_ptr<TIniFileUTF8> ini_;
};

const std::u16string kMissing = u"<missing>";

}  // namespace

TEST(IniParse, LineRules) {
  struct {
    const char* what;
    std::string text;
    std::u16string section, key;
    std::u16string raw;  // kMissing when the key must not exist
  } cases[] = {
      {"plain", "[S]\nk=v", u"S", u"k", u"v"},
      {"BOM dropped on line 1", "\xEF\xBB\xBF[S]\nk=v", u"S", u"k", u"v"},
      {"BOM on a later line is part of it", "[S]\n\xEF\xBB\xBFk=v", u"S", u"k", kMissing},
      {"BOM on a later line decodes as U+FEFF", "[S]\n\xEF\xBB\xBFk=v", u"S", u"\uFEFFk", u"v"},
      {"control bytes stripped at line start", "[S]\n\t \x01\x1fk=v", u"S", u"k", u"v"},
      {"; comment", "[S]\n;k=v", u"S", u";k", kMissing},
      {"# comment after blanks", "[S]\n  #k=v", u"S", u"#k", kMissing},
      {"; later in a line is value", "[S]\nx=1 ; note", u"S", u"x", u"1 ; note"},
      {"split at the first =", "[S]\na=b=c", u"S", u"a", u"b=c"},
      {"key loses trailing blanks and tabs", "[S]\nk \t =v", u"S", u"k", u"v"},
      {"key keeps other trailing controls", "[S]\nk\v=v", u"S", u"k\v", u"v"},
      {"value kept raw", "[S]\nk = v \t", u"S", u"k", u" v \t"},
      {"empty value is present", "[S]\nk=", u"S", u"k", u""},
      {"line starting with = has no key", "[S]\n=v", u"S", u"", kMissing},
      {"line without = skipped", "[S]\nk\nj=1", u"S", u"k", kMissing},
      {"CR line ends", "[S]\rA=1\rB=2", u"S", u"B", u"2"},
      {"CR LF line ends", "[S]\r\nA=1\r\nB=2\r\n", u"S", u"A", u"1"},
      {"mixed line ends", "[S]\nA=1\r\nB=2\rC=3", u"S", u"C", u"3"},
      {"text after ] ignored", "[S] trailing ; x\nk=v", u"S", u"k", u"v"},
      {"blanks inside brackets kept", "[ Auth ]\nk=v", u" Auth ", u"k", u"v"},
      {"... and not the trimmed name", "[ Auth ]\nk=v", u"Auth", u"k", kMissing},
      {"[ without ] keeps the section", "[S]\n[T\nk=v", u"S", u"k", u"v"},
      {"[] keeps the section", "[S]\n[]\nk=v", u"S", u"k", u"v"},
      {"lone [ keeps the section", "[S]\n[\nk=v", u"S", u"k", u"v"},
      {"keys before any section dropped", "k=v\n[S]\nj=1", u"S", u"k", kMissing},
      {"repeated header continues", "[S]\na=1\n[T]\nb=2\n[s]\nc=3", u"S", u"a", u"1"},
      {"repeated header continues (2)", "[S]\na=1\n[T]\nb=2\n[s]\nc=3", u"S", u"c", u"3"},
      {"later duplicate key wins", "[S]\na=1\nA=2", u"S", u"a", u"2"},
      {"section and key case-insensitive", "[Audio]\nDevice=x", u"AUDIO", u"device", u"x"},
      {"UTF-8 decoded", "[S]\nk=\xD0\x96\xC3\xA9", u"S", u"k", u"\u0416\u00E9"},
      {"invalid UTF-8 taken byte for character", "[S]\nk=a\xFF\xC3", u"S", u"k",
       u"a\u00FF\u00C3"},
      {"arguments are not trimmed", "[S]\nk=v", u"S ", u"k", kMissing},
  };
  for (auto& c : cases) {
    IniFromText ini(c.text);
    EXPECT_EQ(ini->ReadRaw(c.section, c.key, kMissing), c.raw) << c.what;
  }
}

TEST(IniParse, DuplicateKeyKeepsFirstSpellingAndPlace) {
  IniFromText ini("[S]\na=1\nb=2\nA=3\n[T]\n[s]\nc=4");
  ASSERT_EQ(ini->Sections().Count(), 2);
  auto* keys = static_cast<TUnicodeStringList*>(ini->Sections().GetObject(0));
  ASSERT_EQ(keys->Count(), 3);
  EXPECT_EQ(keys->GetString(0), u"a");
  EXPECT_EQ(*static_cast<std::u16string*>(keys->GetObject(0)), u"3");
  EXPECT_EQ(keys->GetString(1), u"b");
  EXPECT_EQ(keys->GetString(2), u"c");
}

TEST(IniRead, TypedReadsTrimDifferently) {
  struct {
    std::string value;  // stored as k=<value>
    std::u16string str;
    int32_t integer;     // ReadInteger(default -1)
    int32_t integer_ex;  // ReadIntegerEx(missing -1, empty -2, invalid -3)
    int flag;            // ReadFlag(default false / true): 0 false, 1 true, 2 the default
    int boolean;         // ReadBool likewise
  } cases[] = {
      {"42", u"42", 42, 42, 1, 1},
      {" 42", u"42", 42, 42, 1, 1},
      {"42 ", u"42", 42, -3, 1, 1},
      {"   ", u"", -1, -2, 2, 2},
      {"", u"", -1, -2, 2, 2},
      {"1 ; note", u"1 ; note", -1, -3, 2, 2},
      {"-3", u"-3", -3, -3, 1, 1},
      {"0", u"0", 0, 0, 0, 0},
      {"yes", u"yes", -1, -3, 1, 1},
      {"On", u"On", -1, -3, 1, 1},
      {"off", u"off", -1, -3, 0, 0},
      {"yes ", u"yes", -1, -3, 1, 1},
      {" yes", u"yes", -1, -3, 1, 1},  // the line "k = yes"
      {"\tno\t", u"no", -1, -3, 0, 0},
      {" 1", u"1", 1, 1, 1, 1},
      {"\xC2\xA0" "7\xE3\x80\x80", u"7", 7, -3, 1, 1},  // NBSP and U+3000 trimmed by ReadString
      {"2147483648", u"2147483648", -1, -3, 1, 1},  // the boolean parser takes 64 bits
      {"0x10", u"0x10", -1, -3, 2, 2},
      {"maybe", u"maybe", -1, -3, 2, 2},
  };
  for (auto& c : cases) {
    IniFromText ini("[S]\nk=" + c.value);
    SCOPED_TRACE("value '" + c.value + "'");
    EXPECT_EQ(ini->ReadString(u"S", u"k", u"d"), c.str);
    EXPECT_EQ(ini->ReadInteger(u"S", u"k", -1), c.integer);
    EXPECT_EQ(ini->ReadIntegerEx(u"S", u"k", -1, -2, -3), c.integer_ex);
    for (bool def : {false, true}) {
      bool want_flag = c.flag == 2 ? def : c.flag == 1;
      bool want_bool = c.boolean == 2 ? def : c.boolean == 1;
      EXPECT_EQ(ini->ReadFlag(u"S", u"k", def), want_flag) << "default " << def;
      EXPECT_EQ(ini->ReadBool(u"S", u"k", def), want_bool) << "default " << def;
    }
    bool value = false;
    const TDaxReadState want_state =
        c.flag != 2 ? drs_Read : c.str.empty() ? drs_Empty : drs_Unreadable;
    EXPECT_EQ(ini->TryReadFlag(u"S", u"k", value), want_state);
    if (want_state == drs_Read) {
      EXPECT_EQ(value, c.flag == 1);
    }
  }
}

TEST(IniRead, DefaultsForMissingKeysAndStringForms) {
  IniFromText ini("[S]\nsp=  x y  \nempty=\nbig=9223372036854775807\nnul=5\x01");
  EXPECT_EQ(ini->ReadString(u"S", u"none", u"  def "), u"def");
  EXPECT_EQ(ini->ReadRaw(u"S", u"none", u"  def "), u"  def ");
  EXPECT_EQ(ini->ReadRaw(u"S", u"sp", u""), u"  x y  ");
  EXPECT_EQ(ini->ReadStringTrimLeft(u"S", u"sp", u""), u"x y  ");
  EXPECT_EQ(ini->ReadStringNotEmpty(u"S", u"none", u" m ", u"e"), u" m ");
  EXPECT_EQ(ini->ReadStringNotEmpty(u"S", u"empty", u"m", u"e"), u"e");
  EXPECT_EQ(ini->ReadStringNotEmpty(u"S", u"sp", u"m", u"e"), u"x y");
  EXPECT_EQ(ini->ReadIntegerEx(u"X", u"k", -1, -2, -3), -1);
  EXPECT_EQ(ini->ReadInteger(u"S", u"none", 17), 17);
  EXPECT_EQ(ini->ReadInt64(u"S", u"big", 0), INT64_MAX);
  EXPECT_EQ(ini->ReadInteger(u"S", u"big", 17), 17);
  EXPECT_EQ(ini->ReadFlag(u"S", u"none", true), true);
  bool untouched = true;
  EXPECT_EQ(ini->TryReadFlag(u"S", u"none", untouched), drs_Missing);
  EXPECT_TRUE(untouched);
  EXPECT_EQ(ini->ReadBool(u"S", u"none", true), true);
  EXPECT_EQ(ini->ReadInteger(u"S", u"nul", 3), 3);
  // A NUL inside a value must not cut it short into a valid number.
  IniFromText nul(std::string("[S]\nn=5\0x\nf=1\0", 14));
  EXPECT_EQ(nul->ReadRaw(u"S", u"n", u""), std::u16string(u"5\0x", 3));
  EXPECT_EQ(nul->ReadInteger(u"S", u"n", 3), 3);
  EXPECT_EQ(nul->ReadIntegerEx(u"S", u"n", 1, 2, 3), 3);
  EXPECT_EQ(nul->ReadInt64(u"S", u"n", 3), 3);
  EXPECT_EQ(nul->ReadFlag(u"S", u"f", false), false);
}

TEST(IniRead, FloatIsStrictAndUsesTheCallersSeparator) {
  const TDaxFormatSettings dot;
  TDaxFormatSettings comma;
  comma.DecimalSeparator = u',';
  struct {
    std::string value;
    std::optional<float> with_dot, with_comma;  // nullopt: the default
  } cases[] = {
      {"1.5", 1.5f, std::nullopt},
      {"1,5", std::nullopt, 1.5f},
      {" -2.5e-1 ", -0.25f, std::nullopt},
      {".5", 0.5f, std::nullopt},
      {"5.", 5.0f, std::nullopt},
      {"+3", 3.0f, 3.0f},
      {"1E3", 1000.0f, 1000.0f},
      {".", std::nullopt, std::nullopt},
      {"1e", std::nullopt, std::nullopt},
      {"inf", std::nullopt, std::nullopt},
      {"-INF", std::nullopt, std::nullopt},
      {"nan", std::nullopt, std::nullopt},
      {"infinity", std::nullopt, std::nullopt},
      {"0x1p3", std::nullopt, std::nullopt},
      {"1e39", std::nullopt, std::nullopt},  // beyond float
      {"1 000", std::nullopt, std::nullopt},
      {"1.000,5", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
  };
  for (auto& c : cases) {
    IniFromText ini("[S]\nf=" + c.value);
    SCOPED_TRACE("value '" + c.value + "'");
    EXPECT_EQ(ini->ReadFloat(u"S", u"f", 42.25f, dot), c.with_dot.value_or(42.25f));
    EXPECT_EQ(ini->ReadFloat(u"S", u"f", 42.25f, comma), c.with_comma.value_or(42.25f));
  }
  IniFromText ini("[S]\n");
  // The default goes through its own text form and must come back unchanged.
  for (float def : {0.1f, -3.4028235e38f, 1e-30f, 0.0f})
    for (const TDaxFormatSettings* fmt : {&dot, static_cast<const TDaxFormatSettings*>(&comma)})
      EXPECT_EQ(ini->ReadFloat(u"S", u"none", def, *fmt), def);
  EXPECT_TRUE(std::isinf(ini->ReadFloat(u"S", u"none", INFINITY, dot)));
}

TEST(IniFile, MissingUnreadableAndForcedFiles) {
  TempDir dir;
  TIniFileUTF8 empty(W(dir / "none.ini"), false);
  EXPECT_FALSE(empty.Loaded());
  EXPECT_EQ(empty.ReadInteger(u"S", u"k", 5), 5);
  try {
    TIniFileUTF8 forced(W(dir / "none.ini"), true);
    ADD_FAILURE() << "no error";
  } catch (const EFileExceptionOpenError& e) {
    EXPECT_EQ(e.Message(),
              "error [2] of opening file \"" + (dir / "none.ini") + "\": No such file or directory");
  }
  EXPECT_THROW(TIniFileUTF8(W(dir.path()), false), EFileExceptionOpenError);
}

TEST(IniFile, SaveWritesSectionsAndSwapsTheFileIn) {
  TempDir dir;
  const std::string name = dir / "a.cfg";
  WriteFile(name, "\xEF\xBB\xBF[Empty]\n[One]\nk = v\n[Two]\nx=1\ny=\xD0\x96\n");
  ::chmod(name.c_str(), 0600);
  {
    TIniFileUTF8 ini(W(name), false);
    ini.SetValue(ini.GetSection(u"one"), u"K", u"w");
    ini.SetValue(ini.GetSection(u"Three"), u"z", u"=");
    ini.Save();
    EXPECT_FALSE(ini.Modified());
  }
  EXPECT_EQ(ReadFile(name), "\n[One]\nk=w\n\n[Two]\nx=1\ny=\xD0\x96\n\n[Three]\nz==\n");
  std::vector<std::string> left;
  DaxFindFiles(dir.path(), "*", kDaxAttrAnyFile, left);
  EXPECT_EQ(left, std::vector<std::string>{name});
  struct stat st {};
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  TIniFileUTF8 again(W(name), true);
  EXPECT_EQ(again.ReadRaw(u"Three", u"z", u""), u"=");
  EXPECT_EQ(again.ReadRaw(u"Two", u"y", u""), u"\u0416");

  // All sections empty: an empty file. A file that was never read is created.
  WriteFile(name, "[A]\n[B]\n");
  TIniFileUTF8(W(name), false).Save();
  EXPECT_EQ(ReadFile(name), "");
  TIniFileUTF8 fresh(W(dir / "new.cfg"), false);
  fresh.SetValue(fresh.GetSection(u"S"), u"k", u"v");
  fresh.Save();
  EXPECT_EQ(ReadFile(dir / "new.cfg"), "[S]\nk=v\n");
}

TEST(IniFile, FailedSaveKeepsTheOldFile) {
  TempDir dir;
  const std::string name = dir / "a.cfg";
  WriteFile(name, "[S]\nk=old\n");
  TIniFileUTF8 ini(W(name), false);
  ini.SetValue(ini.GetSection(u"S"), u"k", u"new");
  // A directory in the way of the ".$new" file.
  ::mkdir((dir / ".a.cfg.$new").c_str(), 0755);
  try {
    ini.Save();
    ADD_FAILURE() << "no error";
  } catch (const EFileException& e) {
    EXPECT_EQ(e.Message(), "error [21] of creating file \"" + (dir / ".a.cfg.$new") +
                               "\": Is a directory");
  }
  EXPECT_EQ(ReadFile(name), "[S]\nk=old\n");
  EXPECT_TRUE(ini.Modified() == false);
}

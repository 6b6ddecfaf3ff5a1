#include "net/dyn_pass_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "foundation/fileutils.h"
#include "foundation/setup_data.h"
#include "support/test_files.h"
#include "support/thrown.h"

namespace {

using vektest::ReadFile;
using vektest::TempDir;
using vektest::WriteFile;

struct Fixture {
  TempDir dir;
  TVEKSystemParameters system;
  std::string file;
  Fixture() {
    system.WriteDir = std::u16string(dir.path().begin(), dir.path().end());
    system.DynamicPasswordFileName = u"dynpass1.dat";
    file = dir / "dynpass1.dat";
  }
  std::pair<std::u16string, std::u16string> Find(const std::u16string& k1,
                                                  const std::u16string& k2) {
    std::u16string newest = u"junk", exact = u"junk";
    VekFindDynamicPassword(system, k1, k2, newest, exact);
    return {newest, exact};
  }
};

TEST(DynPassFile, LoadSkipsMalformedLines) {
  Fixture fx;
  WriteFile(fx.file,
            "a@x|srv|pw1|20240101120000\r\n"
            "# a@x|srv|pw|20240101120000\n"
            ";a@x|srv|pw|20240101120000\n"
            "no bar at all\n"
            " |srv|pw|20240101120000\n"
            "a@x|srv| |20240101120000\n"
            "a@x\n"
            "  b@x||pw2|20240101120000|more|fields  \n"
            "c@x| s |\xFF\xFE" "pw|20240101120000\n");
  TDynPassArray entries;
  EXPECT_FALSE(VekLoadDynPassFile(fx.file, entries));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Key1, u"a@x");
  EXPECT_EQ(entries[0].Password, u"pw1");
  EXPECT_EQ(entries[1].Key2, u"");
  EXPECT_EQ(entries[1].Stamp, "20240101120000");
  EXPECT_EQ(entries[2].Key2, u" s ");  // key 2 is not trimmed
  EXPECT_EQ(entries[2].Password, u"\u00ff\u00fepw");  // invalid UTF-8 kept byte for byte
  EXPECT_FALSE(VekLoadDynPassFile(fx.dir / "none.dat", entries));
  EXPECT_TRUE(entries.empty());
}

TEST(DynPassFile, MadeUpStampIsWrittenBackByFind) {
  Fixture fx;
  WriteFile(fx.file, "a@x|srv|pw1\r\na@x|other|pw2|2024010112\r\n");
  TDynPassArray entries;
  EXPECT_TRUE(VekLoadDynPassFile(fx.file, entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Stamp.size(), 14u);
  auto first = fx.Find(u"a@x", u"srv");
  EXPECT_EQ(first.second, u"pw1");
  // The stamps are fixed now: a second load makes nothing up, and the
  // newest entry stays the same.
  EXPECT_FALSE(VekLoadDynPassFile(fx.file, entries));
  EXPECT_EQ(fx.Find(u"a@x", u"srv"), first);
}

TEST(DynPassFile, FindNewestAndExact) {
  Fixture fx;
  WriteFile(fx.file,
            "a@x|march|pwMar|20240315000000\r\n"
            "A@X|jan|pwJan|20240115000000\r\n"
            "a@x|march2|pwMar2|20240315000000\r\n"
            "a@x|JAN|pwJan2|20250101000000\r\n"
            "a@x||pwEmpty|20230101000000\r\n"
            "b@x|jan|pwB|20990101000000\r\n");
  struct Case {
    const char16_t *k1, *k2, *newest, *exact;
  } cases[] = {
      {u"a@x", u"jan", u"pwJan2", u"pwJan"},     // exact: first in file order, any case
      {u"a@X", u"march", u"pwJan2", u"pwMar"},
      {u"a@x", u"", u"pwJan2", u"pwEmpty"},      // an empty key 2 is a key
      {u"a@x", u"nowhere", u"pwJan2", u""},
      {u"c@x", u"jan", u"", u""},
  };
  for (const auto& c : cases) {
    auto [newest, exact] = fx.Find(c.k1, c.k2);
    EXPECT_EQ(newest, c.newest);
    EXPECT_EQ(exact, c.exact);
  }
  // Equal greatest stamps: the first in the file wins.
  WriteFile(fx.file, "a@x|s1|first|20240315000000\r\na@x|s2|second|20240315000000\r\n");
  EXPECT_EQ(fx.Find(u"a@x", u"zz").first, u"first");
  // March beats January whatever the order.
  WriteFile(fx.file, "a@x|s1|mar|20240315000000\r\na@x|s2|jan|20240115000000\r\n");
  EXPECT_EQ(fx.Find(u"a@x", u"zz").first, u"mar");
  WriteFile(fx.file, "a@x|s2|jan|20240115000000\r\na@x|s1|mar|20240315000000\r\n");
  EXPECT_EQ(fx.Find(u"a@x", u"zz").first, u"mar");
  // No file: both empty, and no file is created.
  ::unlink(fx.file.c_str());
  EXPECT_EQ(fx.Find(u"a@x", u"s1"), (std::pair<std::u16string, std::u16string>{}));
  EXPECT_FALSE(vektest::Exists(fx.file));
}

TEST(DynPassFile, StoreKeepsTheStoredSpellingAndAppendsNewKeys) {
  Fixture fx;
  VekStoreDynamicPassword(fx.system, u"Op@Example.org", u"Srv.Example", u"p1");
  VekStoreDynamicPassword(fx.system, u"op@example.ORG", u"SRV.example", u"p2");
  VekStoreDynamicPassword(fx.system, u"op@example.org", u"", u"p3");
  VekStoreDynamicPassword(fx.system, u"\u00e9@x", u"s", u"p\u00e9");
  TDynPassArray entries;
  EXPECT_FALSE(VekLoadDynPassFile(fx.file, entries));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].Key1, u"Op@Example.org");
  EXPECT_EQ(entries[0].Key2, u"Srv.Example");
  EXPECT_EQ(entries[0].Password, u"p2");
  EXPECT_EQ(entries[1].Key2, u"");
  EXPECT_EQ(entries[2].Password, u"p\u00e9");
  const std::string text = ReadFile(fx.file);
  EXPECT_EQ(text.substr(0, 31), "Op@Example.org|Srv.Example|p2|2");
  EXPECT_NE(text.find("\xC3\xA9@x|s|p\xC3\xA9|"), std::string::npos);
}

TEST(DynPassFile, EveryFieldIsCheckedBeforeTheFileIsTouched) {
  // Which values are refused: the line_file test.
  Fixture fx;
  VekStoreDynamicPassword(fx.system, u"a@x", u"srv", u"good");
  const std::string before = ReadFile(fx.file);
  const char16_t* bad = u"pw\r\nb@x|srv|stolen|2099";
  EXPECT_THROW(VekStoreDynamicPassword(fx.system, u"a@x", u"srv", bad), EFileException);
  EXPECT_THROW(VekStoreDynamicPassword(fx.system, bad, u"srv", u"pw"), EFileException);
  EXPECT_THROW(VekStoreDynamicPassword(fx.system, u"a@x", bad, u"pw"), EFileException);
  EXPECT_EQ(ReadFile(fx.file), before);
}

// [System] TempDir, when set, holds the rewrite's temporary area.
TEST(DynPassFile, TheConfiguredTempDirHoldsTheStaging) {
  Fixture fx;
  fx.system.TempDir = u"/nonexistent/vek-temp";
  const std::string error = vektest::ThrownMessage([&] { VekStoreDynamicPassword(fx.system, u"a@x", u"srv", u"pw"); });
  EXPECT_NE(error.find("\"/nonexistent/vek-temp/.tmp$"), std::string::npos) << error;
  EXPECT_FALSE(vektest::Exists(fx.file));
}

}  // namespace

#include "foundation/unicode_string_list.h"

#include <gtest/gtest.h>

namespace {

TEST(StringList, CaseFoldingIsLatin1PerUtf16LeByte) {
  struct {
    std::u16string a, b;
    int sign;
  } cases[] = {
      {u"Auth", u"AUTH", 0},
      {u"auth", u"Auth", 0},
      {u"\u00C4\u00D6\u00DE", u"\u00E4\u00F6\u00FE", 0},  // Latin-1 letters fold
      {u"\u00D7", u"\u00F7", -1},                          // the multiplication sign does not
      {u"\u00DF", u"\u00FF", -1},                          // 0xDF is outside the map
      {u"\u0141", u"\u0161", 0},   // 41 01 vs 61 01: the low byte folds like ASCII
      {u"\u4100", u"\u6100", 0},   // so does the high byte
      {u"\u0410", u"\u0430", -1},  // Cyrillic is not case-folded
      {u"ab", u"abc", -1},         // a prefix is smaller
      {u"b", u"ab", 1},
      {u"\u0100", u"\u00FF", -1},  // low byte 00 < FF decides first
      {u"", u"", 0},
  };
  for (auto& c : cases) {
    int r = TUnicodeStringList::CompareStrings(c.a, c.b, false);
    EXPECT_EQ((r > 0) - (r < 0), c.sign);
    r = TUnicodeStringList::CompareStrings(c.b, c.a, false);
    EXPECT_EQ((r > 0) - (r < 0), -c.sign);
  }
  EXPECT_NE(TUnicodeStringList::CompareStrings(u"Auth", u"auth", true), 0);
}

TEST(StringList, SortedModesAndDuplicates) {
  int o1 = 1, o2 = 2;
  TUnicodeStringList l;
  l.Add(u"c");
  l.Add(u"A");
  l.Add(u"b");
  EXPECT_EQ(l.IndexOf(u"B"), 2);
  l.SetSorted(true);
  EXPECT_EQ(l.GetString(0), u"A");
  EXPECT_EQ(l.GetString(2), u"c");
  EXPECT_EQ(l.IndexOf(u"C"), 2);
  EXPECT_EQ(l.IndexOf(u"d"), -1);

  EXPECT_EQ(l.AddObject(u"B", &o1), 1);  // ignore: nothing added, object replaced
  EXPECT_EQ(l.Count(), 3);
  EXPECT_EQ(l.GetObject(1), &o1);
  EXPECT_EQ(l.GetString(1), u"b");

  l.SetDuplicates(dupAccept);
  EXPECT_EQ(l.AddObject(u"B", &o2), 2);
  EXPECT_EQ(l.Count(), 4);
  EXPECT_EQ(l.IndexOf(u"b"), 1);

  l.SetDuplicates(dupError);
  try {
    l.AddObject(u"a", nullptr);
    ADD_FAILURE() << "no error";
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), "String list does not allow duplicates");
  }
  EXPECT_EQ(l.Count(), 4);
  EXPECT_EQ(l.AddObject(u"aa", nullptr), 1);

  TUnicodeStringList unsorted;
  unsorted.SetDuplicates(dupError);  // unsorted lists never check
  unsorted.Add(u"x");
  unsorted.Add(u"X");
  EXPECT_EQ(unsorted.Count(), 2);
  EXPECT_THROW(unsorted.GetString(2), EStringListError);
  EXPECT_THROW(unsorted.Delete(-1), EStringListError);
  unsorted.Delete(0);
  EXPECT_EQ(unsorted.GetString(0), u"X");
}

}  // namespace

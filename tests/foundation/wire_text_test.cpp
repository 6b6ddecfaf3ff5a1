#include "foundation/wire_text.h"

#include <gtest/gtest.h>

namespace {

TEST(TextHelpers, FetchSeparateAndLineEnds) {
  std::string v = " a , b ,c";
  EXPECT_EQ(VekFetchTrimmed(v, ","), "a");
  EXPECT_EQ(v, "b ,c");
  EXPECT_EQ(VekFetch(v, ","), "b ");
  EXPECT_EQ(VekFetch(v, ","), "c");
  EXPECT_EQ(v, "");
  EXPECT_EQ(VekSeparateLeft("k=v=w", "="), "k");
  EXPECT_EQ(VekSeparateRight("k=v=w", "="), "v=w");
  EXPECT_EQ(VekSeparateRight("kvw", "="), "kvw");
  EXPECT_EQ(VekReplaceAll("aXbXX", "X", "yy"), "ayybyyyy");
  struct LE {
    const char* text;
    std::size_t pos;
    TVekLineEnd end;
  } ends[] = {{"ab\r\n", 2, vle_CRLF}, {"ab\n\r", 2, vle_LFCR}, {"ab\r", 2, vle_CR},
              {"a\nb", 1, vle_LF},     {"ab", std::string::npos, vle_None}};
  for (const LE& e : ends) {
    TVekLineEnd t;
    EXPECT_EQ(VekFindLineEnd(e.text, t), e.pos);
    EXPECT_EQ(t, e.end);
  }
  EXPECT_EQ(VekDecodeInt16(VekCodeInt16(0x1234), 1), 0x1234);
  EXPECT_EQ(VekDecodeInt16("\x12", 1), 0);
  EXPECT_EQ(VekCodeInt32(0x01020304), std::string("\x01\x02\x03\x04"));
  EXPECT_EQ(VekSwapBytes32(0x01020304), 0x04030201u);
}

}  // namespace

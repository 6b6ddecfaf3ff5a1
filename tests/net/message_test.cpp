#include "net/message.h"

#include <gtest/gtest.h>

namespace {

TEST(Message, LinesAndTheirIndexCheck) {
  TVEKMessage m;
  m.AddLine(u"first");
  m.AddLine(u"\u0432\u0442\u043e\u0440\u0430\u044f");
  EXPECT_EQ(m.GetLineCount(), 2);
  EXPECT_EQ(m.GetLine(1), u"\u0432\u0442\u043e\u0440\u0430\u044f");
  for (int bad : {-1, 2, 1000}) {
    try {
      m.GetLine(bad);
      FAIL() << bad;
    } catch (const ERangeError& e) {
      EXPECT_STREQ(e.what(), "Invalid line index");
    }
  }
  m.ReceiverId = "12";
  m.SenderId = "34";
  m.Clear();
  EXPECT_EQ(m.GetLineCount(), 0);
  EXPECT_TRUE(m.ReceiverId.empty());
  EXPECT_TRUE(m.SenderId.empty());
  EXPECT_THROW(m.GetLine(0), ERangeError);
}

TEST(Message, CreatedMessageIsPrivateOnlyWithAnAddressee) {
  const struct { const char* id; const char* trimmed; bool is_private; } cases[] = {
      {"", "", false}, {"   ", "", false}, {" \t\r\n", "", false}, {" 1234 ", "1234", true}, {"77", "77", true},
  };
  for (const auto& c : cases) {
    auto m = VekCreateMessage(c.id, u"hello");
    EXPECT_EQ(m->ReceiverId, c.trimmed) << '"' << c.id << '"';
    EXPECT_EQ(m->Private, c.is_private) << '"' << c.id << '"';
    ASSERT_EQ(m->GetLineCount(), 1);
    EXPECT_EQ(m->GetLine(0), u"hello");
  }
}

}  // namespace

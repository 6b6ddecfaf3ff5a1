#include "net/exception.h"

#include <gtest/gtest.h>

namespace {

template <class E, class F>
E Catch(F raise) {
  try {
    raise();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "nothing raised";
  return E("");
}

TEST(VekErrors, MessagesOfTheRaisingRoutines) {
  struct Case {
    void (*raise)();
    const char* cls;
    const char* message;
  };
  const Case cases[] = {
      {[] { RaiseVekInvalidServerResponse(u"login", ""); }, "EVEKErrorInvalidServerResponse",
       "Invalid server response: login"},
      {[] { RaiseVekInvalidServerResponse(u"login", "HELLO 1"); }, "EVEKErrorInvalidServerResponse",
       "Invalid server response: login: \"HELLO 1\""},
      {[] { RaiseVekInvalidServerVersion("20x"); }, "EVEKErrorInvalidServerVersion",
       "Invalid server version: \"20x\""},
      {[] { RaiseVekReadError(u"Socket error 104: Connection reset by peer"); }, "EVEKErrorRead",
       "Read error: Socket error 104: Connection reset by peer"},
      {[] { RaiseVekWriteError(u"x"); }, "EVEKErrorWrite", "Write error: x"},
      {[] { RaiseVekPeerDisconnected(); }, "EVEKErrorPeerDisconnected", "Peer disconnected"},
      {[] { RaiseVekReadTimedout(); }, "EVEKErrorReadTimedout", "Read timed out"},
      {[] { RaiseVekWriteTimedout(); }, "EVEKErrorWriteTimedout", "Write timed out"},
      {[] { RaiseVekInvalidClientMode(); }, "EVEKErrorInvalidClientMode", "Invalid client mode"},
      {[] { RaiseVekInvalidDefaultProxy(); }, "EVEKErrorInvalidDefaultProxy", "Invalid default proxy"},
      {[] { RaiseVekInvalidProxyType(); }, "EVEKErrorInvalidProxyType", "Invalid proxy type"},
  };
  for (const Case& c : cases) {
    try {
      c.raise();
      ADD_FAILURE() << c.message;
    } catch (const EVEKError& e) {
      EXPECT_STREQ(e.ClassName(), c.cls);
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST(VekErrors, ProtocolBytesInMessagesAreWidenedNotDecoded) {
  // A stray byte of a server answer must still show, as the character of the
  // same number, and not vanish or break the message.
  auto e = Catch<EVEKErrorInvalidServerVersion>([] { RaiseVekInvalidServerVersion("2\xE9"); });
  EXPECT_NE(e.Message().find("2"), std::string::npos);
  EXPECT_GT(e.Message().size(), std::string("Invalid server version: \"2\"").size());
}

TEST(VekErrors, ProxyErrorIsAConnectionErrorWithItsCode) {
  try {
    RaiseVekProxyConnectError(2, u"HTTP Proxy error 407: Proxy Authentication Required");
  } catch (const EVEKErrorConnection& e) {
    auto* proxy = dynamic_cast<const EVEKErrorConnectionProxy*>(&e);
    ASSERT_NE(proxy, nullptr);
    EXPECT_NE(dynamic_cast<const EVEKErrorProxyConnectError*>(&e), nullptr);
    EXPECT_EQ(proxy->Code, 2);
    EXPECT_EQ(DaxExceptionText(e),
              "EVEKErrorProxyConnectError: HTTP Proxy error 407: Proxy Authentication Required");
  }
}

TEST(VekErrors, AnswerClassesKeepTheServerTexts) {
  auto wrong = Catch<EVEKErrorProtocolAnswerWrong>(
      [] { RaiseVekAnswerWrong(u"INVALID PASSWORD", u"secret", "bad pass"); });
  EXPECT_EQ(wrong.Message(), "INVALID PASSWORD");
  EXPECT_EQ(wrong.PasswordSent, u"secret");
  EXPECT_EQ(wrong.ServerMessage, "bad pass");
  auto blocked = Catch<EVEKErrorProtocolAnswerBlocked>(
      [] { RaiseVekAnswerBlocked(u"ACCOUNT IS BLOCKED", u"\u0416"); });
  EXPECT_EQ(blocked.ServerMessage, u"\u0416");
  auto dupl = Catch<EVEKErrorProtocolAnswerDupl>([] { RaiseVekAnswerDupl(u"ACCOUNT IS ALREADY CONNECTED", u"d"); });
  EXPECT_EQ(dupl.ServerMessage, u"d");
}

}  // namespace

#include "net/exception.h"

#include "foundation/charset.h"
#include "foundation/texts.h"
#include "foundation/types.h"

namespace {

std::string Sys(const std::u16string& text) { return DaxHookUnicodeToSys(text); }

template <class E>
[[noreturn]] void Throw(const std::u16string& message) {
  throw E(Sys(message));
}

}  // namespace

void RaiseVekConnectError(const std::u16string& message) { Throw<EVEKErrorConnectError>(message); }
void RaiseVekPeerDisconnected() { Throw<EVEKErrorPeerDisconnected>(VekMsgPeerDisconnected()); }
void RaiseVekPeerDisconnectedMsg(const std::u16string& message) { Throw<EVEKErrorPeerDisconnected>(message); }
void RaiseVekReadTimedout() { Throw<EVEKErrorReadTimedout>(VekMsgReadTimedOut()); }
void RaiseVekWriteTimedout() { Throw<EVEKErrorWriteTimedout>(VekMsgWriteTimedOut()); }
void RaiseVekReadError(const std::u16string& errorText) { Throw<EVEKErrorRead>(u"Read error: " + errorText); }
void RaiseVekWriteError(const std::u16string& errorText) { Throw<EVEKErrorWrite>(u"Write error: " + errorText); }

void RaiseVekProxyConnectError(std::uint8_t code, const std::u16string& message) {
  throw EVEKErrorProxyConnectError(code, Sys(message));
}

void RaiseVekAnswerWrong(const std::u16string& message, const std::u16string& passwordSent,
                         const std::string& serverMessage) {
  EVEKErrorProtocolAnswerWrong e(Sys(message));
  e.PasswordSent = passwordSent;
  e.ServerMessage = serverMessage;
  throw e;
}

namespace {
template <class E>
[[noreturn]] void ThrowAnswer(const std::u16string& message, const std::u16string& serverMessage) {
  E e(Sys(message));
  e.ServerMessage = serverMessage;
  throw e;
}
}  // namespace

void RaiseVekAnswerBlocked(const std::u16string& message, const std::u16string& serverMessage) {
  ThrowAnswer<EVEKErrorProtocolAnswerBlocked>(message, serverMessage);
}
void RaiseVekAnswerDupl(const std::u16string& message, const std::u16string& serverMessage) {
  ThrowAnswer<EVEKErrorProtocolAnswerDupl>(message, serverMessage);
}
void RaiseVekAnswerError(const std::u16string& message, const std::u16string& serverMessage) {
  ThrowAnswer<EVEKErrorProtocolAnswerError>(message, serverMessage);
}

void RaiseVekInvalidServerVersion(const std::string& versionText) {
  Throw<EVEKErrorInvalidServerVersion>(VekMsgInvalidServerVersion() + u": \"" + DaxAnsiToUnicodeRaw(versionText) + u"\"");
}

namespace {

std::u16string InvalidServerResponseText(const std::u16string& context, const std::string& response) {
  std::u16string message = VekMsgInvalidServerResponse() + u": " + context;
  if (!response.empty()) message += u": \"" + DaxAnsiToUnicodeRaw(response) + u"\"";
  return message;
}

}  // namespace

void RaiseVekInvalidServerResponse(const std::u16string& context, const std::string& response) {
  Throw<EVEKErrorInvalidServerResponse>(InvalidServerResponseText(context, response));
}

void RaiseVekEmptyNetworkList(const std::u16string& context) {
  Throw<EVEKErrorEmptyNetworkList>(InvalidServerResponseText(context, "empty network list"));
}

void RaiseVekInvalidClientMode() { Throw<EVEKErrorInvalidClientMode>(VekMsgInvalidClientMode()); }
void RaiseVekInvalidDefaultProxy() { Throw<EVEKErrorInvalidDefaultProxy>(VekMsgInvalidDefaultProxy()); }
void RaiseVekUnreadableDefaultProxy(const std::u16string& variable) {
  Throw<EVEKErrorInvalidDefaultProxy>(VekMsgInvalidDefaultProxy() + u": cannot read " + variable +
                                      u" (wanted [http://]host:port)");
}
void RaiseVekInvalidProxyType() { Throw<EVEKErrorInvalidProxyType>(VekMsgInvalidProxyType()); }

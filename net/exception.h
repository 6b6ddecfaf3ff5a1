// The network client's error classes and the routines that raise them, so a
// failure reads the same wherever it happens. Messages are 8-bit text in the
// system charset; the raising routines take UTF-16 and convert.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EVEKError, Exception);
DAX_DECLARE_EXCEPTION(EVEKErrorConnection, EVEKError);

class EVEKErrorConnectionProxy : public EVEKErrorConnection {
 public:
  EVEKErrorConnectionProxy(std::uint8_t code, std::string message)
      : EVEKErrorConnection(std::move(message)), Code(code) {}
  const char* ClassName() const noexcept override { return "EVEKErrorConnectionProxy"; }
  std::uint8_t Code;
};

DAX_DECLARE_EXCEPTION(EVEKErrorProxyConnectError, EVEKErrorConnectionProxy);
DAX_DECLARE_EXCEPTION(EVEKErrorConnectError, EVEKErrorConnection);
DAX_DECLARE_EXCEPTION(EVEKErrorReadTimedout, EVEKErrorConnection);
DAX_DECLARE_EXCEPTION(EVEKErrorWriteTimedout, EVEKErrorConnection);
DAX_DECLARE_EXCEPTION(EVEKErrorRead, EVEKErrorConnection);
DAX_DECLARE_EXCEPTION(EVEKErrorWrite, EVEKErrorConnection);
DAX_DECLARE_EXCEPTION(EVEKErrorPeerDisconnected, EVEKErrorConnection);

DAX_DECLARE_EXCEPTION(EVEKErrorVEKProtocol, EVEKError);
DAX_DECLARE_EXCEPTION(EVEKErrorInvalidServerVersion, EVEKErrorVEKProtocol);
DAX_DECLARE_EXCEPTION(EVEKErrorInvalidServerResponse, EVEKErrorVEKProtocol);
// A networks list without the network the login needs.
DAX_DECLARE_EXCEPTION(EVEKErrorEmptyNetworkList, EVEKErrorInvalidServerResponse);

class EVEKErrorProtocolAnswerWrong : public EVEKErrorVEKProtocol {
 public:
  using EVEKErrorVEKProtocol::EVEKErrorVEKProtocol;
  const char* ClassName() const noexcept override { return "EVEKErrorProtocolAnswerWrong"; }
  std::u16string PasswordSent;
  std::string ServerMessage;  // system charset
};

// The three refusals that carry only the server's message.
#define VEK_DECLARE_ANSWER_EXCEPTION(Name)                                   \
  class Name : public EVEKErrorVEKProtocol {                                 \
   public:                                                                   \
    using EVEKErrorVEKProtocol::EVEKErrorVEKProtocol;                        \
    const char* ClassName() const noexcept override { return #Name; }        \
    std::u16string ServerMessage;                                            \
  }
VEK_DECLARE_ANSWER_EXCEPTION(EVEKErrorProtocolAnswerBlocked);
VEK_DECLARE_ANSWER_EXCEPTION(EVEKErrorProtocolAnswerError);
VEK_DECLARE_ANSWER_EXCEPTION(EVEKErrorProtocolAnswerDupl);
#undef VEK_DECLARE_ANSWER_EXCEPTION

DAX_DECLARE_EXCEPTION(EVEKErrorInvalidClientMode, EVEKError);
DAX_DECLARE_EXCEPTION(EVEKErrorInvalidDefaultProxy, EVEKError);
DAX_DECLARE_EXCEPTION(EVEKErrorInvalidProxyType, EVEKError);

[[noreturn]] void RaiseVekConnectError(const std::u16string& message);
[[noreturn]] void RaiseVekPeerDisconnected();
[[noreturn]] void RaiseVekPeerDisconnectedMsg(const std::u16string& message);
[[noreturn]] void RaiseVekReadTimedout();
[[noreturn]] void RaiseVekWriteTimedout();
[[noreturn]] void RaiseVekReadError(const std::u16string& errorText);
[[noreturn]] void RaiseVekWriteError(const std::u16string& errorText);
[[noreturn]] void RaiseVekProxyConnectError(std::uint8_t code, const std::u16string& message);
[[noreturn]] void RaiseVekAnswerWrong(const std::u16string& message, const std::u16string& passwordSent,
                                      const std::string& serverMessage);
[[noreturn]] void RaiseVekAnswerBlocked(const std::u16string& message, const std::u16string& serverMessage);
[[noreturn]] void RaiseVekAnswerDupl(const std::u16string& message, const std::u16string& serverMessage);
[[noreturn]] void RaiseVekAnswerError(const std::u16string& message, const std::u16string& serverMessage);
[[noreturn]] void RaiseVekInvalidServerVersion(const std::string& versionText);
[[noreturn]] void RaiseVekInvalidServerResponse(const std::u16string& context, const std::string& response);
// The invalid-response error with the response "empty network list".
[[noreturn]] void RaiseVekEmptyNetworkList(const std::u16string& context);
[[noreturn]] void RaiseVekInvalidClientMode();
[[noreturn]] void RaiseVekInvalidDefaultProxy();
// The same error for an environment variable whose value is no proxy.
[[noreturn]] void RaiseVekUnreadableDefaultProxy(const std::u16string& variable);
[[noreturn]] void RaiseVekInvalidProxyType();

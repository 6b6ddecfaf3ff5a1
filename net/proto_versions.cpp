#include "net/proto_versions.h"

#include "foundation/tags.h"
#include "foundation/texts.h"
#include "foundation/types.h"
#include "net/exception.h"
#include "net/link_attr.h"
#include "net/proto.h"
#include "net/proto_login.h"
#include "net/server.h"

TVekProtoClass VekSelectProtoClass(int32_t serverVersion, int32_t clientVersion) {
  if (serverVersion < 2012000) return vpc_2010002;
  if (serverVersion == 2012000) return vpc_2012000;
  if (serverVersion == 2013002) return clientVersion == 2011002 ? vpc_2010002 : vpc_2012000;
  if (serverVersion < 2014000) return vpc_2010002;
  return vpc_2012000;
}

std::string VekChallengeReply(const std::string& controlValue) {
  int32_t a = 0, b = 0, c = 0;
  // Pairs beyond the value's end count as non-digits.
  std::string kp = controlValue;
  kp.resize(6, 'x');
  const char* p = kp.data();
  DaxParseDigits(p, 2, a);
  DaxParseDigits(p + 2, 2, b);
  DaxParseDigits(p + 4, 2, c);
  const int32_t value = (b + 1) * (a + 2) + (c + 7) * (c + 4);
  char s[5];
  DaxIntToDigits(s, value, 5);
  return std::string{s[3], s[0], s[2], s[4], s[1]};
}

bool VekIsValidControlValue(const std::string& controlValue) {
  if (controlValue.size() != 6) return false;
  int64_t v = 0;
  if (!DaxTryStrToInt64(controlValue, v)) return false;
  return v >= 0 && v <= 4294967295LL;
}

std::unique_ptr<TVekProtoCustom> VekMakeProtoObject(TVekProtoClass kind, TVEKProtocol& owner) {
  switch (kind) {
    case vpc_2010002: return std::make_unique<TVekProto2010002>(owner);
    case vpc_2012000: return std::make_unique<TVekProto2012000>(owner);
    default: return std::make_unique<TVekProtoCustom>(owner);
  }
}

void TVekProtoCustom::SendStatus(uint8_t status) {
  owner_.SendText("ST:" + std::to_string(status) + "\r\n");
  owner_.FlushOutput();
  owner_.AfterSend();
}

std::string TVekProtoCustom::ToServerText(const std::u16string& text) {
  return link_attr_ ? link_attr_->UnicodeToServer(text) : DaxUnicodeToAnsiRaw(text);
}

void TVekProtoCustom::SendRx0() {
  owner_.SendText("RX0\r\n");
  owner_.FlushOutput();
}

void TVekProtoCustom::LoginPhase1(const std::string&) {
  throw Exception("Empty method TVekProtoCustom.LoginPhase1");
}

void TVekProtoCustom::LoginPhase2() { throw Exception("Empty method TVekProtoCustom.LoginPhase2"); }

void TVekProtoCustom::LoginPhase1Common(const std::string& answerLine) {
  std::u16string host;
  int32_t port = 0;
  TVEKServer* server = owner_.ServerEntry();
  if (server && VekParseBackupAnnouncement(answerLine, host, port)) server->SetBackupServer(host, port);
  std::string mt;
  if (!VekTagExtract("MT", answerLine, mt)) RaiseVekInvalidServerResponse(VekMsgNoAccessInfoTag(), answerLine);
  owner_.SetRawServerMessage(mt);
}

void TVekProto2010002::LoginPhase1(const std::string& answerLine) {
  std::string kp;
  if (!VekTagExtract("KP", answerLine, kp)) RaiseVekInvalidServerResponse(VekMsgNoControlValueTag(), answerLine);
  if (!VekIsValidControlValue(kp))
    RaiseVekInvalidServerResponse(VekQuotedText(VekMsgInvalidControlValue(), kp), answerLine);
  challenge_ = kp;
  LoginPhase1Common(answerLine);
}

void TVekProto2010002::LoginPhase2() {
  owner_.SendText(VekChallengeReply(challenge_) + "\r\n");
  owner_.FlushOutput();
  owner_.AfterSend();
}

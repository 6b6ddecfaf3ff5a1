// The per-version halves of the login: a server of the older protocol class
// sends a control value that the client must answer (the challenge), the
// newer class does without. The protocol thread makes one object of the
// class its server's version calls for at every handshake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TVEKLinkAttr;
class TVEKProtocol;

// Which class a server version calls for.
enum TVekProtoClass : uint8_t {
  vpc_Custom,   // no login at all: the placeholder until the handshake
  vpc_2010002,  // with challenge
  vpc_2012000,  // without
};

// The class table of the handshake: below 2012000 and from 2012001 up to
// 2013999 the challenge class (2013002 only for client version 2011002),
// 2012000 and from 2014000 on the class without challenge.
TVekProtoClass VekSelectProtoClass(int32_t serverVersion, int32_t clientVersion);

// The reply to a six-digit control value: N = (B + 1)(A + 2) + (C + 7)(C + 4)
// from its digit pairs A B C, written as five digits s1..s5 and sent in the
// order s4 s1 s3 s5 s2. Raises "Not digit character" for a non-digit.
std::string VekChallengeReply(const std::string& controlValue);

// A KP value the first login phase accepts: exactly six bytes reading as an
// integer from 0 to 4294967295.
bool VekIsValidControlValue(const std::string& controlValue);

class TVekProtoCustom {
 public:
  explicit TVekProtoCustom(TVEKProtocol& owner) : owner_(owner) {}
  virtual ~TVekProtoCustom() = default;
  TVekProtoCustom(const TVekProtoCustom&) = delete;
  TVekProtoCustom& operator=(const TVekProtoCustom&) = delete;

  virtual TVekProtoClass Class() const { return vpc_Custom; }

  void TakeConverter(TVEKLinkAttr* linkAttr) { link_attr_ = linkAttr; }
  // "ST:" status "\r\n", flushed, then the after-send event.
  void SendStatus(uint8_t status);
  std::string ToServerText(const std::u16string& text);

  // "RX0\r\n", flushed.
  virtual void SendRx0();
  virtual void LoginPhase1(const std::string& answerLine);
  virtual void LoginPhase2();

 protected:
  // Backup server (BN/BP) and the raw server message (MT, required).
  void LoginPhase1Common(const std::string& answerLine);

  TVEKProtocol& owner_;
  TVEKLinkAttr* link_attr_ = nullptr;
};

class TVekProto2010002 : public TVekProtoCustom {
 public:
  using TVekProtoCustom::TVekProtoCustom;
  TVekProtoClass Class() const override { return vpc_2010002; }
  void LoginPhase1(const std::string& answerLine) override;
  void LoginPhase2() override;
  const std::string& ChallengeText() const { return challenge_; }

 private:
  std::string challenge_;
};

class TVekProto2012000 : public TVekProtoCustom {
 public:
  using TVekProtoCustom::TVekProtoCustom;
  TVekProtoClass Class() const override { return vpc_2012000; }
  void LoginPhase1(const std::string& answerLine) override { LoginPhase1Common(answerLine); }
  void LoginPhase2() override {}
};

std::unique_ptr<TVekProtoCustom> VekMakeProtoObject(TVekProtoClass kind, TVEKProtocol& owner);

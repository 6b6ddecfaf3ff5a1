// Everything one connection needs to introduce itself: the login data, the
// server entry, the converter for the server's charset, the extension flags
// the client offers and its protocol version, and the connection string that
// opens every session.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/ansi_unicode_converter.h"
#include "foundation/types_base.h"

class TVEKLoginInfo;
class TVEKServer;

// Client and server extension flags share one bit layout.
inline constexpr uint32_t VEK_EXT_LIST_FORMAT_MASK = 0x03;
inline constexpr uint32_t VEK_EXT_SOUND_ACK = 0x04;
inline constexpr uint32_t VEK_EXT_UTF8 = 0x08;
inline constexpr uint32_t VEK_EXT_SHORT_FRAMES = 0x10;

// The connection string: "CT:" and the tags VX, EA, PW, ON, CL, BC (22
// bytes), DS (50), NN, CT (43), NT (20), then CEF when flags is not 0 and
// U8TF when bit 3 is set, then CR LF. Budgets apply after conversion to the
// server charset. Raises "Unknown Account.ClientType" for a type above 2.
std::string VekBuildLoginLine(int32_t version, const TVEKLoginInfo& info,
                              const std::u16string& network, uint32_t flags,
                              TAnsiUnicodeConverter& converter);

// Filled by the engine before it starts connecting; the protocol thread and
// the server checker build connection strings from it at the same time, so
// the converter is used under the object's lock.
class TVEKLinkAttr {
 public:
  TVEKLinkAttr();
  TVEKLinkAttr(const TVEKLinkAttr&) = delete;
  TVEKLinkAttr& operator=(const TVEKLinkAttr&) = delete;

  // Sets the converter to the account's CharsetName first; an unknown name
  // raises EAnsiUnicodeConverterInvalidCharsetName and the previous login
  // info and its charset stay. nullptr is stored without touching the
  // converter.
  void SetLoginInfo(TVEKLoginInfo* info);
  void SetServer(TVEKServer* server) { server_ = server; }
  void SetUserData(void* data) { user_data_ = data; }

  void SetProtoListFormat(TVEKProtoListFormat format);
  void SetProtoSoundAck(bool on) { SetFlag(VEK_EXT_SOUND_ACK, on); }
  void SetProtoUnicode(bool on) { SetFlag(VEK_EXT_UTF8, on); }
  void SetProtoShortFrames(bool on) { SetFlag(VEK_EXT_SHORT_FRAMES, on); }

  TVEKLoginInfo* LoginInfo() const { return login_info_; }
  TVEKServer* Server() const { return server_; }
  void* UserData() const { return user_data_; }
  uint32_t ClientFlags() const { return flags_.load(); }
  int32_t ClientVersion() const { return version_.load(); }
  // The protocol thread copies its client version in at every handshake.
  void SetClientVersion(int32_t version) { version_.store(version); }
  std::u16string Network() const;
  void SetNetwork(const std::u16string& network);

  // VekBuildLoginLine with this object's version, login info, flags and
  // converter. Raises "login info not provided" when none is set.
  std::string BuildConnectionString(const std::u16string& network);
  // VekBuildLoginLine with this object's version and converter but the given
  // login info and flags (the server checker's probe).
  std::string BuildLoginLineWith(const TVEKLoginInfo& info, const std::u16string& network,
                                 uint32_t flags);

  // Conversions of server texts through the shared converter, under the lock.
  std::u16string ServerToUnicode(const std::string& bytes);
  std::u16string ServerBufToUnicode(const char* p, int32_t length);
  std::string UnicodeToServer(const std::u16string& text);
  // The converter itself; callers that keep it must hold ConverterLock()
  // while converting, since the checker converts from its own thread.
  TAnsiUnicodeConverter& Converter() { return *converter_; }
  std::mutex& ConverterLock() const { return lock_; }

 private:
  void SetFlag(uint32_t bit, bool on);

  std::atomic<TVEKServer*> server_{nullptr};
  std::atomic<TVEKLoginInfo*> login_info_{nullptr};
  std::atomic<void*> user_data_{nullptr};
  std::unique_ptr<TAnsiUnicodeConverter> converter_;
  std::atomic<uint32_t> flags_{0};
  std::atomic<int32_t> version_{0};
  mutable std::mutex lock_;  // converter_, network_
  std::u16string network_;
};

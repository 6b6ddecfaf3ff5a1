// Makes the connections of the protocol thread, the server checker and the
// system-manager client from the [Internet] settings, resolving the system
// proxy (HTTP_PROXY / http_proxy) at every use.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/setup_data.h"
#include "net/conn.h"

// Use-proxy modes of the callers.
enum : std::uint8_t { VEK_USE_PROXY_CONFIGURED = 0, VEK_USE_PROXY_NEVER = 1, VEK_USE_PROXY_ALWAYS = 2 };

class TVEKConnectionMaker {
 public:
  TVEKConnectionMaker(const TVEKInternetParameters& internet, void* owner);
  TVEKConnectionMaker(const TVEKConnectionMaker&) = delete;
  TVEKConnectionMaker& operator=(const TVEKConnectionMaker&) = delete;

  // Takes new [Internet] settings; the worker threads read them at their
  // next connection, so the change is made under the maker's lock.
  void SetParams(const TVEKInternetParameters& internet);

  // Raises EVEKErrorInvalidDefaultProxy or EVEKErrorInvalidProxyType.
  void ApplyParams(TVEKConnectionParams& params, std::uint8_t mode) const;
  // With the settings applied; unusable proxy settings are left to the
  // connects, which apply them again and raise.
  std::unique_ptr<TVEKConnection> NewConnection(bool peerDisconnectIsError) const;

  std::uint8_t ProxyType() const;
  std::int32_t ConnectTimeoutMs() const;
  std::int32_t ProxyConnectTimeoutMs() const;

 private:
  void* owner_;
  mutable std::mutex lock_;
  std::uint8_t proxy_type_;
  std::u16string proxy_address_;
  std::int32_t proxy_port_;
  std::u16string proxy_charset_;
  std::u16string proxy_user_;
  std::u16string proxy_password_;
  std::int32_t connect_timeout_;
  bool prefer_ipv4_;
  std::int32_t proxy_connect_timeout_;
};

void VekConnApplyParams(TVEKConnection& connection, const TVEKConnectionMaker& maker, std::uint8_t mode);

// HTTP_PROXY, else http_proxy (looked up without regard to case: the first
// entry of either spelling wins); `name` gets the entry's own name.
std::u16string VekReadProxyEnv(std::string* name = nullptr);
// "[http://]host:port", optionally followed by "/" and a path, blanks around
// it ignored: true with the host and port (not range-checked). False for
// anything else, also a user name ("user@host:port"), which this client
// cannot send.
bool VekParseHttpProxyValue(const std::u16string& value, std::u16string& host, std::int32_t& port);
// The proxy the environment names: false when no value is set. A value that
// VekParseHttpProxyValue cannot read raises EVEKErrorInvalidDefaultProxy
// naming the variable: going direct would bypass the proxy the user set.
bool VekGetSystemHttpProxy(std::u16string& host, std::int32_t& port);

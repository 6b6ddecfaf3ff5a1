#include "net/conn_mk.h"

#include "foundation/charset.h"
#include "foundation/types.h"
#include "foundation/types_base.h"
#include "net/conn_sock.h"
#include "net/exception.h"

TVEKConnectionMaker::TVEKConnectionMaker(const TVEKInternetParameters& internet, void* owner)
    : owner_(owner) {
  SetParams(internet);
}

void TVEKConnectionMaker::SetParams(const TVEKInternetParameters& internet) {
  std::lock_guard<std::mutex> guard(lock_);
  proxy_type_ = internet.ProxyType;
  proxy_address_ = internet.ProxyAddress;
  proxy_port_ = internet.ProxyPort;
  proxy_charset_ = internet.ProxyCharsetName;
  proxy_user_ = internet.ProxyUser;
  proxy_password_ = internet.ProxyPassword;
  connect_timeout_ = DaxClampConnectTimeout(internet.ConnectTimeout) * 1000;
  prefer_ipv4_ = internet.PreferIPV4;
  proxy_connect_timeout_ = DaxClampProxyTimeout(internet.ProxyConnectTimeout) * 1000;
}

std::uint8_t TVEKConnectionMaker::ProxyType() const {
  std::lock_guard<std::mutex> guard(lock_);
  return proxy_type_;
}

std::int32_t TVEKConnectionMaker::ConnectTimeoutMs() const {
  std::lock_guard<std::mutex> guard(lock_);
  return connect_timeout_;
}

std::int32_t TVEKConnectionMaker::ProxyConnectTimeoutMs() const {
  std::lock_guard<std::mutex> guard(lock_);
  return proxy_connect_timeout_;
}

void TVEKConnectionMaker::ApplyParams(TVEKConnectionParams& params, std::uint8_t mode) const {
  std::lock_guard<std::mutex> guard(lock_);
  (void)owner_;
  params.ConnectTimeout = connect_timeout_;
  params.ProxyConnectTimeout = proxy_connect_timeout_;
  params.ReadTimeout = 8000;
  params.WriteTimeout = 8000;
  params.PreferIPv4 = prefer_ipv4_;
  params.CharsetName = proxy_charset_;
  std::uint8_t type = mode == VEK_USE_PROXY_NEVER ? static_cast<std::uint8_t>(VEK_PROXY_TYPE_NONE) : proxy_type_;
  std::u16string host = proxy_address_;
  std::int32_t port = proxy_port_;
  if (type == VEK_PROXY_TYPE_SYSTEM) {
    if (VekGetSystemHttpProxy(host, port)) {
      type = VEK_PROXY_TYPE_HTTP;
      // A port outside the TCP range cannot name a proxy.
      if (host.empty() || port < 1 || port > 65535) RaiseVekInvalidDefaultProxy();
    } else {
      type = VEK_PROXY_TYPE_NONE;
    }
  }
  params.ProxyType = type;
  switch (type) {
    case VEK_PROXY_TYPE_NONE: return;
    case VEK_PROXY_TYPE_HTTP:
    case VEK_PROXY_TYPE_SOCKS4:
    case VEK_PROXY_TYPE_SOCKS5:
      params.ProxyHost = host;
      params.ProxyPort = port;
      params.ProxyUser = proxy_user_;
      params.ProxyPassword = proxy_password_;
      return;
    default: RaiseVekInvalidProxyType();
  }
}

std::unique_ptr<TVEKConnection> TVEKConnectionMaker::NewConnection(bool peerDisconnectIsError) const {
  auto connection = std::make_unique<TVEKConnSock>(peerDisconnectIsError);
  try {
    VekConnApplyParams(*connection, *this, VEK_USE_PROXY_CONFIGURED);
  } catch (const EVEKErrorInvalidDefaultProxy&) {
    // The workers are made at start; every connect of theirs applies the
    // settings again and reports this error in the log instead.
  } catch (const EVEKErrorInvalidProxyType&) {
  }
  return connection;
}

void VekConnApplyParams(TVEKConnection& connection, const TVEKConnectionMaker& maker, std::uint8_t mode) {
  TVEKConnectionParams params;
  maker.ApplyParams(params, mode);
  connection.SetParams(params);
}

std::u16string VekReadProxyEnv(std::string* name) {
  std::string value = DaxGetEnvValue("HTTP_PROXY", name);
  if (value.empty()) value = DaxGetEnvValue("http_proxy", name);
  return DaxHookSysToUnicode(value);
}

bool VekParseHttpProxyValue(const std::u16string& value, std::u16string& host, std::int32_t& port) {
  std::u16string rest = DaxTrimW(value);
  if (rest.size() >= 7 && DaxUpperCaseAsciiW(rest.substr(0, 7)) == u"HTTP://") rest.erase(0, 7);
  // The usual form ends in "/"; a path names nothing for a CONNECT.
  const std::size_t slash = rest.find(u'/');
  if (slash != std::u16string::npos) rest.erase(slash);
  if (rest.find(u'@') != std::u16string::npos) return false;
  const std::size_t colon = rest.find(u':');
  if (colon == std::u16string::npos) return false;
  std::int32_t number = 0;
  if (!DaxTryStrToIntW(rest.substr(colon + 1), number)) return false;
  host = rest.substr(0, colon);
  port = number;
  return true;
}

bool VekGetSystemHttpProxy(std::u16string& host, std::int32_t& port) {
  std::string name = "HTTP_PROXY";
  const std::u16string value = VekReadProxyEnv(&name);
  if (DaxTrimW(value).empty()) return false;
  if (!VekParseHttpProxyValue(value, host, port)) RaiseVekUnreadableDefaultProxy(DaxHookSysToUnicode(name));
  return true;
}

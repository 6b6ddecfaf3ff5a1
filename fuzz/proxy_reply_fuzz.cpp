// Proxy replies from a hostile or broken proxy: the SOCKS4, SOCKS5 and HTTP
// CONNECT answer readers must end (no hang, no crash, bounded memory) on any
// bytes. The first byte picks the handshake; the rest is what the proxy sends
// before it closes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/blocksock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 32768) return 0;
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  int big = 1 << 20;
  ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  ::setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t done = 0;
  while (done < reply.size()) {
    const ssize_t r = ::send(sv[1], reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
    if (r <= 0) break;
    done += static_cast<std::size_t>(r);
  }
  ::shutdown(sv[1], SHUT_WR);

  TTCPBlockSocket s;
  s.RaiseExcept = false;
  s.AttachHandle(sv[0]);
  s.SocksTimeout = 200;
  s.HTTPTunnelTimeout = 200;
  s.SocksUsername = (data[0] & 4) ? u"user" : u"";
  s.SocksPassword = u"pass";
  switch (data[0] % 3) {
    case 0:
      s.SocksType = ST_Socks4;
      if (s.SocksOpen() && s.SocksRequest(1, u"example.org", u"80")) s.SocksResponse();
      break;
    case 1:
      s.SocksType = ST_Socks5;
      if (s.SocksOpen() && s.SocksRequest(1, u"example.org", u"80")) s.SocksResponse();
      break;
    default:
      s.OnHTTPTunnelConnectAnswer = [](TBlockSocket&, std::int32_t, const std::string&) {};
      s.HTTPTunnelHandshake(u"example.org", u"80");
      break;
  }
  // Whatever the reply, a line never grows past the cap.
  if (s.LineBuffer().size() > reply.size()) __builtin_trap();
  s.CloseHandle();
  ::close(sv[1]);
  return 0;
}

#include "net/sock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <cstring>
#include <thread>

namespace {

DaxSockAddr V6(const char* text) {
  DaxSockAddr a{};
  a.in6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, text, &a.in6.sin6_addr);
  return a;
}

// Knows no name, whatever the machine's resolver would say; "vek.test" if asked.
struct TestResolver : TDaxResolver {
  std::unique_ptr<TDaxHostEntry> HostByName(const std::string& name) override {
    if (name != "vek.test") return nullptr;
    auto e = std::make_unique<TDaxHostEntry>();
    e->Name = u"vek.test";
    e->Addresses = {htonl(0x0A010203)};
    return e;
  }
  std::vector<in6_addr> HostIPv6(const std::string& name, int) override {
    if (name != "vek.test") return {};
    in6_addr a{};
    inet_pton(AF_INET6, "2001:db8::7", &a);
    return {a};
  }
};

TEST(SockAddress, SetAddressForLiteralsAndLocalhost) {
  struct Case {
    const char* ip;
    int family;
    bool preferV4;
    int resultFamily;
    const char* text;
  } cases[] = {
      {"LocalHost", 0, true, AF_INET, "127.0.0.1"},
      {"localhost", 0, false, AF_INET6, "::1"},
      {"0.0.0.0", AF_INET, true, AF_INET, "0.0.0.0"},
      {"10.1.2.3", 0, false, AF_INET, "10.1.2.3"},  // the IPv6 try fails, IPv4 follows
      {"::1", 0, true, AF_INET6, "::1"},
      {"fe80:0000::00a1", AF_INET6, true, AF_INET6, "fe80::a1"},
  };
  for (const Case& c : cases) {
    DaxSockAddr a;
    ASSERT_EQ(DaxSockSetAddress(a, c.ip, "5000", c.family, IPPROTO_TCP, SOCK_STREAM, c.preferV4), 0) << c.ip;
    EXPECT_EQ(a.sa.sa_family, c.resultFamily) << c.ip;
    EXPECT_EQ(DaxSockAddressText(a), c.text) << c.ip;
    EXPECT_EQ(DaxSockAddressPort(a), 5000);
  }
  TestResolver resolver;
  TDaxResolverScope scope(resolver);
  DaxSockAddr a;
  EXPECT_EQ(DaxSockSetAddress(a, "no-such-host.invalid", "1", 0, IPPROTO_TCP, SOCK_STREAM, true),
            DAX_SOCK_ERR_HOST_NOT_FOUND);
  EXPECT_EQ(DaxSockSetAddress(a, "10.0.0.1", "1", AF_UNIX, IPPROTO_TCP, SOCK_STREAM, true), EPROTONOSUPPORT);
}

TEST(SockAddress, AddressTexts) {
  EXPECT_EQ(DaxSockAddressText(V6("2001:0db8:0000:0000:0000:0000:0000:0001")), "2001:db8::1");
  EXPECT_EQ(DaxSockAddressText(V6("::ffff:192.0.2.7")), "192.0.2.7");
  DaxSockAddr none{};
  EXPECT_EQ(DaxSockAddressText(none), "");
  EXPECT_EQ(DaxHostPortText(u"::1", 5000), u"[::1]:5000");
  EXPECT_EQ(DaxHostPortText(u"10.0.0.1", 5000), u"10.0.0.1:5000");
  EXPECT_EQ(DaxHostPortText(u"vek.example", 80), u"vek.example:80");
  EXPECT_EQ(DaxSocketErrorText(111, u"Connection refused"), u"Socket error 111: Connection refused");
  EXPECT_EQ(DaxSocketErrorText(-1001, u"whatever"), u"Socket error -1001: Host not found");
}

TEST(SockResolve, PortsNamesAndHostEntries) {
  servent* http = getservbyname("http", "tcp");
  const int httpPort = http ? ntohs(static_cast<uint16_t>(http->s_port)) : 80;
  EXPECT_EQ(DaxSockResolvePort("8080", 0, IPPROTO_TCP, SOCK_STREAM), 8080);
  EXPECT_EQ(DaxSockResolvePort("http", 0, IPPROTO_TCP, SOCK_STREAM), httpPort);
  EXPECT_EQ(DaxSockResolvePort("no-such-service", 0, IPPROTO_TCP, SOCK_STREAM), 0);
  EXPECT_EQ(DaxSockResolvePort("", 0, IPPROTO_TCP, SOCK_STREAM), 0);

  std::vector<std::string> list;
  DaxSockResolveName("LOCALHOST", 0, IPPROTO_TCP, SOCK_STREAM, list);
  EXPECT_EQ(list, (std::vector<std::string>{"127.0.0.1", "::1"}));
  DaxSockResolveName("10.0.0.1", AF_INET, IPPROTO_TCP, SOCK_STREAM, list);
  EXPECT_EQ(list, std::vector<std::string>{"10.0.0.1"});
  {
    TestResolver resolver;
    TDaxResolverScope scope(resolver);
    // An unknown name gives nothing, never a local address.
    DaxSockResolveName("no-such-host.invalid", 0, IPPROTO_TCP, SOCK_STREAM, list);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(DaxGetHostByName("no-such-host.invalid"), nullptr);
    // Names go through the installed resolver, in both families.
    DaxSockResolveName("vek.test", 0, IPPROTO_TCP, SOCK_STREAM, list);
    EXPECT_EQ(list, (std::vector<std::string>{"10.1.2.3", "2001:db8::7"}));
    DaxSockAddr a;
    ASSERT_EQ(DaxSockSetAddress(a, "vek.test", "1", 0, IPPROTO_TCP, SOCK_STREAM, false), 0);
    EXPECT_EQ(DaxSockAddressText(a), "2001:db8::7");
  }

  // The resolver is called from several threads at once.
  std::vector<std::thread> threads;
  std::atomic<int> found{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        auto e = DaxGetHostByName("localhost");
        if (e && !e->Addresses.empty() && e->Addresses[0] == htonl(INADDR_LOOPBACK)) ++found;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(found.load(), 80);
}

}  // namespace

// The protocol thread wired as the engine wires it, for tests against the
// fake VEK server: pool, captured-voice ring, player queue, login data and
// server entry, every event recorded by name, and a clock the test can
// drive.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <utility>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/clock.h"
#include "foundation/setup_data.h"
#include "net/conn_mk.h"
#include "net/link_attr.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/server.h"
#include "support/event_log.h"
#include "support/fake_vek_server.h"
#include "support/proto_rig.h"
#include "support/wait.h"

namespace prototest {

inline std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

struct ProtoHarness : vektest::ProtoRig {
  explicit ProtoHarness(bool fakeClock = false, bool rxAlign = false, int32_t preCaptureMs = 0) {
    account.Callsign = u"TEST1";
    account.CharsetName = u"ASCII";
    serverParams.RxAlignEnabled = rxAlign;
    serverParams.RxAlignTime = 600;
    audioParams.InPreCapturedTime = preCaptureMs;
    Start();
    if (fakeClock) proto->Clock = [this] { return clock.load(); };
    Wire();
  }
  // The thread's callbacks reach the members below: stop it before they go.
  ~ProtoHarness() { proto.reset(); }

  // Restarts the thread on a connection of the test's own kind; returns it.
  template <class TConnection, class... TArgs>
  TConnection& RestartWith(TArgs&&... args) {
    Stop();
    auto connection = std::make_unique<TConnection>(std::forward<TArgs>(args)...);
    TConnection& own = *connection;
    Start(std::move(connection));
    Wire();
    return own;
  }

  void Event(const std::string& name) { log.Add(name); }

  void Wire() {
    TVEKProtocol& p = *proto;
    auto ev = [this](const char* n) { return [this, n] { Event(n); }; };
    auto tev = [this](const char* n) {
      return [this, n](const std::u16string& t) { Event(std::string(n) + ":" + Narrow(t)); };
    };
    p.OnLogText = ev("LogText");
    p.OnError = tev("Error");
    p.OnThreadError = tev("ThreadError");
    p.OnServerConnectError = tev("ServerConnectError");
    p.OnProtocolError = [this](const std::u16string& m, const std::u16string& c) {
      Event("ProtocolError:" + Narrow(m) + "|" + Narrow(c));
    };
    p.OnLoginWrong = [this](const std::u16string& pw, const std::string& msg) {
      Event("LoginWrong:" + Narrow(pw) + "|" + msg);
    };
    p.OnLoginBlocked = tev("LoginBlocked");
    p.OnLoginError = tev("LoginError");
    p.OnPeerDisconnected = ev("PeerDisconnected");
    p.OnDisconnecting = ev("Disconnecting");
    p.OnDisconnected = ev("Disconnected");
    p.OnHandshaked = [this](int32_t newest, int32_t sv, const std::u16string&) {
      Event("Handshaked:" + std::to_string(newest) + ":" + std::to_string(sv));
    };
    p.OnInitiated = ev("Initiated");
    p.OnUnknownMarker = ev("UnknownMarker");
    p.OnKeepAlive = ev("KeepAlive");
    p.OnTxRequestRepeated = ev("TxRequestRepeated");
    p.OnTxApproved = [this] {
      Event("TxApproved");
      if (failApproval) throw Exception("approval handler failed");
    };
    p.OnTxRejected = ev("TxRejected");
    p.OnTxAbortedByServer = ev("TxAbortedByServer");
    p.OnTxDataEnded = ev("TxDataEnded");
    p.OnRxAborted = ev("RxAborted");
    p.OnRxAlignSkipped = [this](uint32_t ms) { Event("RxAlignSkipped:" + std::to_string(ms)); };
    p.OnMessage = ev("Message");
    p.OnServerTimeout = ev("ServerTimeout");
    p.OnPoolUnderflow = ev("PoolUnderflow");
    p.OnPlayStart = ev("PlayStart");
    p.OnPlayStop = ev("PlayStop");
    p.OnClientList = ev("ClientList");
  }

  void Connect(const vektest::FakeVekServer& fake, const std::u16string& network = u"Test") {
    proto->TargetHost = u"127.0.0.1";
    proto->TargetPort = fake.Port();
    proto->TargetUseProxy = VEK_USE_PROXY_NEVER;
    proto->TargetNetwork = network;
    link.SetNetwork(network);
    proto->RequestConnect();
  }

  // Waits until the event (exact name, or a prefix ending in ':') was seen
  // count times; a failure names the events seen so far.
  ::testing::AssertionResult WaitEvent(const std::string& name, int count = 1,
                                       uint32_t timeout_ms = vektest::kPeerWaitMs) {
    if (log.WaitUntil([&](const std::vector<std::string>& events) { return CountIn(events, name) >= count; },
                      timeout_ms))
      return ::testing::AssertionSuccess();
    std::string seen;
    for (const auto& e : log.Events()) seen += (seen.empty() ? "" : ", ") + e;
    return ::testing::AssertionFailure() << name << " x" << count << " not seen within " << timeout_ms
                                         << " ms; events: " << seen;
  }
  int Count(const std::string& name) { return CountIn(log.Events(), name); }
  static int CountIn(const std::vector<std::string>& events, const std::string& name) {
    int n = 0;
    for (const auto& e : events)
      if (e == name || (name.back() == ':' && e.rfind(name, 0) == 0)) ++n;
    return n;
  }
  std::vector<std::string> Events() { return log.Events(); }
  // The first recorded event that starts with prefix, or "".
  std::string Find(const std::string& prefix) {
    for (const auto& e : log.Events())
      if (e.rfind(prefix, 0) == 0) return e;
    return {};
  }
  int IndexOf(const std::string& name) {
    const std::vector<std::string> events = log.Events();
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i] == name) return static_cast<int>(i);
    return -1;
  }

  static bool WaitUntil(const std::function<bool()>& pred, uint32_t timeout_ms = vektest::kPeerWaitMs) {
    return vektest::WaitUntil(pred, timeout_ms, 2);
  }

  // Every record of the player queue so far, in order.
  std::vector<TVEKQueueFlatCmd> DrainQueue() {
    std::vector<TVEKQueueFlatCmd> out;
    TVEKQueueFlatCmd c;
    while (queue.GetOne(c)) out.push_back(std::move(c));
    return out;
  }
  void ReturnBlocks(std::vector<TVEKQueueFlatCmd>& cmds) {
    for (auto& c : cmds)
      if (c.Command == QCMD_PLAY_DATA && c.Data) {
        pool.Buffers().PushOne(c.Data);
        c.Data = nullptr;
      }
  }

  // Captured blocks of the given samples (a multiple of 320) into the ring.
  void Capture(const std::vector<int16_t>& pcm) {
    for (size_t i = 0; i + 320 <= pcm.size(); i += 320) {
      void* b = pool.Buffers().PopOne();
      std::memcpy(b, pcm.data() + i, 640);
      captured.PushOne(b);
    }
  }

  std::atomic<uint32_t> clock{100000};
  std::atomic<bool> failApproval{false};

  vektest::EventLog log;
};

}  // namespace prototest

// A scriptable VEK server for tests: listens on 127.0.0.1 on a port the
// kernel picks, serves one client at a time on its own thread, runs a script
// of steps against it and records everything the client sends.
//
// It is written from the server's side on the standard library, POSIX
// sockets and libgsm only, so it checks the client instead of sharing its
// mistakes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/fake_vek_script.h"
#include "support/fake_vek_wire.h"
#include "support/loopback_listener.h"
#include "support/wait.h"

namespace vektest {

class FakeVekServer {
 public:
  // Connection i runs scripts[min(i, n-1)].
  explicit FakeVekServer(Script script);
  explicit FakeVekServer(std::vector<Script> scripts, uint16_t port = 0);
  ~FakeVekServer();
  FakeVekServer(const FakeVekServer&) = delete;
  FakeVekServer& operator=(const FakeVekServer&) = delete;

  uint16_t Port() const { return listener_.Port(); }
  std::string Host() const { return "127.0.0.1"; }

  // Oldest items are dropped beyond this many (default 100000); also
  // bounds the items waiting for an expect in a connection accepted later.
  void SetRecordLimit(size_t n);
  // Called on the server thread for every item as it is recorded.
  void SetOnItem(std::function<void(const ClientItem&)> fn);

  std::vector<ClientItem> Items() const;
  std::vector<std::string> Lines() const;  // the Line items' texts in order
  std::vector<SentChunk> Sent() const;
  std::vector<std::string> Failures() const;
  int Connections() const;
  // Connections whose script ran to its end (or to a scripted close).
  int FinishedScripts() const;

  // Block until pred(items) holds or the time runs out; true if it held.
  bool WaitFor(const std::function<bool(const std::vector<ClientItem>&)>& pred,
               uint32_t timeout_ms = kPeerWaitMs) const;
  bool WaitForLine(const std::string& exact, uint32_t timeout_ms = kPeerWaitMs) const;
  bool WaitForScripts(int n, uint32_t timeout_ms = kPeerWaitMs) const;
  bool WaitForDisconnects(int n, uint32_t timeout_ms = kPeerWaitMs) const;

  void Stop();

 private:
  friend class Session;
  void Serve(int fd);
  void Record(ClientItem item);
  void RecordSent(int connection, const std::string& bytes);
  void Fail(std::string text);

  std::vector<Script> scripts_;
  LoopbackListener listener_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::deque<ClientItem> items_;
  std::deque<SentChunk> sent_;
  std::vector<std::string> failures_;
  size_t limit_ = 100000;
  int connections_ = 0;
  int finished_ = 0;
  int disconnects_ = 0;
  std::function<void(const ClientItem&)> on_item_;
};

}  // namespace vektest

// A fake system manager for tests: listens on 127.0.0.1 on a port the kernel
// picks, serves one connection at a time on its own thread, records the
// request line of every connection and answers as scripted, or misbehaves
// on demand. Written from the manager's side on POSIX sockets only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_listener.h"
#include "support/wait.h"

namespace vektest {

enum class ManagerAct {
  Reply,             // read the request, send text + CR LF, close
  CloseAtOnce,       // close right after accepting, reading nothing
  CloseAfterRequest, // read the request, close without an answer
  Silent,            // read the request, then say nothing until the client goes
  Fragments,         // send text + CR LF in pieces of `piece` bytes, `delay_ms` apart
  Flood,             // send `flood` bytes without a LF, then stay silent
};

struct ManagerReply {
  ManagerAct act = ManagerAct::Reply;
  std::string text;  // the answer line without its end
  size_t piece = 1;
  uint32_t delay_ms = 20;
  size_t flood = 20000;
};

inline ManagerReply Answer(std::string text) {
  ManagerReply r;
  r.text = std::move(text);
  return r;
}
inline ManagerReply InPieces(std::string text, size_t piece, uint32_t delay_ms) {
  ManagerReply r;
  r.act = ManagerAct::Fragments;
  r.text = std::move(text);
  r.piece = piece;
  r.delay_ms = delay_ms;
  return r;
}
inline ManagerReply Misbehave(ManagerAct act, size_t flood = 20000) {
  ManagerReply r;
  r.act = act;
  r.flood = flood;
  return r;
}

class FakeManager {
 public:
  // Connection i (from 0) gets replies[min(i, n-1)]; no replies: "-".
  explicit FakeManager(std::vector<ManagerReply> replies = {});
  ~FakeManager();
  FakeManager(const FakeManager&) = delete;
  FakeManager& operator=(const FakeManager&) = delete;

  uint16_t Port() const { return listener_.Port(); }
  std::string Host() const { return "127.0.0.1"; }

  void SetReplies(std::vector<ManagerReply> replies);
  // The request line of each connection that sent one, without CR LF.
  std::vector<std::string> Requests() const;
  int Connections() const;
  // Connections that ended (the client closed, or the fake did).
  int Closed() const;
  bool WaitForConnections(int n, uint32_t timeout_ms = kPeerWaitMs) const;
  bool WaitForClosed(int n, uint32_t timeout_ms = kPeerWaitMs) const;
  // From now on a Silent reply ends: the client held silent now, or later,
  // sees the manager hang up.
  void EndSilence() { end_silence_ = true; }

  void Stop();

 private:
  void Serve(int fd);
  void Handle(int fd, const ManagerReply& reply);
  bool ReadRequest(int fd, std::string& line);
  bool SendAll(int fd, const std::string& bytes);
  // Waits until the client closes or the fake stops (or, for a silent
  // reply, until EndSilence).
  void Drain(int fd, bool silent = false);

  std::vector<ManagerReply> replies_;
  LoopbackListener listener_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::string> requests_;
  int connections_ = 0;
  int closed_ = 0;
  std::atomic<bool> end_silence_{false};
};

}  // namespace vektest

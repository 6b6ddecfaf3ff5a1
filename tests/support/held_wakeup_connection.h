// The socket connection with the requester's wake-up held back, for tests of
// a worker thread's request hand-over: the next wake-up waits until the
// thread, polling for requests as a busy thread would, has found the request
// on its own and waits for its connect; that wait goes on once the wake-up
// is sent. A thread that takes a request only after its wake-up was sent
// never meets it there; one that takes it earlier has its connect ended as
// woken.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "net/conn_sock.h"

class TVEKHeldWakeupConnection : public TVEKConnSock {
 public:
  explicit TVEKHeldWakeupConnection(bool peerDisconnectIsError);

  void HoldNextWakeup() { hold_ = true; }

  // Returns at least every millisecond, so the owner looks at its requests
  // without being woken.
  TWaiterResult DoWaitWakeup(std::uint32_t ms) override;
  void DoWakeup() override;

 private:
  // Waited out in full only by a sound thread, which cannot reach its
  // connect before the wake-up went out.
  static constexpr std::chrono::milliseconds kHoldMs{500};

  std::atomic<bool> hold_{false};
  std::mutex mu_;
  std::condition_variable changed_;
  bool connect_waits_ = false;
  bool wakeup_sent_ = false;
};

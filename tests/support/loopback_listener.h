// A TCP listener on 127.0.0.1, by default on a port the kernel picks, with
// an accept loop on a thread of its own: the one listener under every test
// peer that takes connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace vektest {

class LoopbackListener {
 public:
  // Listens at once; throws std::runtime_error naming the port when it
  // cannot. A backlog of 0 with nobody accepting makes a listener whose
  // queue fills.
  explicit LoopbackListener(uint16_t port = 0, int backlog = 16);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t Port() const { return port_; }

  // Accepts until Stop, handing each connection to `serve` on the loop's
  // thread, one at a time; serve owns the descriptor and closes it.
  // accept_flags are added to SOCK_CLOEXEC (SOCK_NONBLOCK, say).
  void Start(std::function<void(int fd)> serve, int accept_flags = 0);
  // Ends the loop and waits for it. A serve that runs long watches
  // StopFlag() or polls WakeFd() (readable once stopping) to end with it.
  void Stop();
  const std::atomic<bool>& StopFlag() const { return stop_; }
  int WakeFd() const { return wake_[0]; }
  // Waits ms or until Stop; false when stopping.
  bool Pause(uint32_t ms) const;

 private:
  void Run(const std::function<void(int)>& serve, int accept_flags);

  int fd_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vektest

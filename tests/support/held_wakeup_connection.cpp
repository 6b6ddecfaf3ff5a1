#include "support/held_wakeup_connection.h"

#include <algorithm>

TVEKHeldWakeupConnection::TVEKHeldWakeupConnection(bool peerDisconnectIsError)
    : TVEKConnSock(peerDisconnectIsError) {
  auto connectWait = Socket().OnExtCanConnect;
  Socket().OnExtCanConnect = [this, connectWait](TBlockSocket& s, std::uint32_t ms, std::int32_t& error) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      connect_waits_ = true;
      changed_.notify_all();
      changed_.wait_for(lock, kHoldMs, [&] { return wakeup_sent_; });
    }
    return connectWait(s, ms, error);
  };
}

TWaiterResult TVEKHeldWakeupConnection::DoWaitWakeup(std::uint32_t ms) {
  return TVEKConnSock::DoWaitWakeup(std::min<std::uint32_t>(ms, 1));
}

void TVEKHeldWakeupConnection::DoWakeup() {
  if (!hold_.exchange(false)) return TVEKConnSock::DoWakeup();
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait_for(lock, kHoldMs, [&] { return connect_waits_; });
  TVEKConnSock::DoWakeup();
  wakeup_sent_ = true;
  changed_.notify_all();
}

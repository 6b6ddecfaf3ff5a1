// Thread-safe queue of client-list snapshots.
#pragma once

#include "foundation/fifo_ts.h"
#include "foundation/types_base.h"

class TVEKClientListQueue : public TFifoThreadSafe {
 public:
  using TFifoThreadSafe::TFifoThreadSafe;
  ~TVEKClientListQueue() override;

  // Queues a copy of the list as it is now.
  void Push(const TVEKClientsArray& list);
  void Push(TVEKClientsArray&& list);
  // True and the oldest snapshot, or false with list untouched.
  bool Pop(TVEKClientsArray& list);
  // Pops every snapshot and leaves the newest in list, so a burst of
  // changes arrives as one list; list is untouched when the queue is empty.
  // True when a snapshot was taken.
  bool PopLatest(TVEKClientsArray& list);

 protected:
  void DeleteData(void* item) override;
};

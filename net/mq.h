// Thread-safe queue of text messages; it owns the messages it holds.
#pragma once

#include <memory>

#include "foundation/fifo_ts.h"
#include "net/message.h"

class TVEKMessageQueue : public TFifoThreadSafe {
 public:
  using TFifoThreadSafe::TFifoThreadSafe;
  ~TVEKMessageQueue() override;

  // The queue takes ownership; a null message is ignored.
  void Push(std::unique_ptr<TVEKMessage> message);
  // The oldest message, or null when empty.
  std::unique_ptr<TVEKMessage> Pop();

 protected:
  void DeleteData(void* item) override;
};

#include "net/mq.h"

TVEKMessageQueue::~TVEKMessageQueue() { Clear(); }

void TVEKMessageQueue::Push(std::unique_ptr<TVEKMessage> message) {
  if (!message) return;
  TFifoThreadSafe::Push(message.get());
  message.release();
}

std::unique_ptr<TVEKMessage> TVEKMessageQueue::Pop() {
  void* item = nullptr;
  if (!TFifoThreadSafe::Pop(item)) return nullptr;
  return std::unique_ptr<TVEKMessage>(static_cast<TVEKMessage*>(item));
}

void TVEKMessageQueue::DeleteData(void* item) { delete static_cast<TVEKMessage*>(item); }

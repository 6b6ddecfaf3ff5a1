#include "net/clq.h"

#include <memory>

TVEKClientListQueue::~TVEKClientListQueue() { Clear(); }

void TVEKClientListQueue::Push(const TVEKClientsArray& list) { Push(TVEKClientsArray(list)); }

void TVEKClientListQueue::Push(TVEKClientsArray&& list) {
  auto item = std::make_unique<TVEKClientsArray>(std::move(list));
  TFifoThreadSafe::Push(item.get());
  item.release();
}

bool TVEKClientListQueue::Pop(TVEKClientsArray& list) {
  void* item = nullptr;
  if (!TFifoThreadSafe::Pop(item)) return false;
  std::unique_ptr<TVEKClientsArray> snapshot(static_cast<TVEKClientsArray*>(item));
  list = std::move(*snapshot);
  return true;
}

bool TVEKClientListQueue::PopLatest(TVEKClientsArray& list) {
  bool any = false;
  while (Pop(list)) any = true;
  return any;
}

void TVEKClientListQueue::DeleteData(void* item) { delete static_cast<TVEKClientsArray*>(item); }

#include "foundation/fifo_ts.h"

#include <new>

TFifoThreadSafe::TFifoThreadSafe(int block_size)
    : block_size_(block_size < kMinBlockSize   ? kMinBlockSize
                  : block_size > kMaxBlockSize ? kMaxBlockSize
                                               : block_size) {
  head_ = tail_ = NewBlock();
}

TFifoThreadSafe::~TFifoThreadSafe() {
  Clear();
  FreeBlock(head_);
}

TFifoThreadSafe::Block* TFifoThreadSafe::NewBlock() const {
  size_t bytes = sizeof(Block) + sizeof(void*) * static_cast<size_t>(block_size_);
  auto* b = static_cast<Block*>(::operator new(bytes));
  b->next = nullptr;
  b->write_index = 0;
  b->read_index = 0;
  b->item_count = 0;
  return b;
}

void TFifoThreadSafe::FreeBlock(Block* block) { ::operator delete(block); }

void TFifoThreadSafe::Push(void* item) {
  // Allocated outside the lock; dropped again when not needed.
  Block* spare = nullptr;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (tail_->item_count >= block_size_) {
        if (spare) {
          tail_->next = spare;
          tail_ = spare;
          spare = nullptr;
        }
      }
      if (tail_->item_count < block_size_) {
        Block* t = tail_;
        Slots(t)[t->write_index] = item;
        t->write_index = static_cast<int16_t>(t->write_index + 1 == block_size_ ? 0 : t->write_index + 1);
        ++t->item_count;
        ++count_;
        break;
      }
    }
    spare = NewBlock();
  }
  if (spare) FreeBlock(spare);
}

bool TFifoThreadSafe::Pop(void*& item) {
  Block* emptied = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Block* h = head_;
    if (h->item_count <= 0) return false;
    item = Slots(h)[h->read_index];
    h->read_index = static_cast<int16_t>(h->read_index + 1 == block_size_ ? 0 : h->read_index + 1);
    --count_;
    --h->item_count;
    if (h->item_count == 0) {
      if (h != tail_) {
        head_ = h->next;
        emptied = h;
      } else {
        h->write_index = 0;
        h->read_index = 0;
      }
    }
  }
  if (emptied) FreeBlock(emptied);
  return true;
}

void TFifoThreadSafe::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  void* batch[64];
  while (count_ > 0) {
    Block* h = head_;
    int n = 0;
    while (n < 64 && h->item_count > 0) {
      batch[n++] = Slots(h)[h->read_index];
      h->read_index = static_cast<int16_t>(h->read_index + 1 == block_size_ ? 0 : h->read_index + 1);
      --h->item_count;
      --count_;
    }
    for (int i = 0; i < n; ++i) DeleteData(batch[i]);
    if (h->item_count == 0 && h != tail_) {
      head_ = h->next;
      FreeBlock(h);
    }
  }
}

int TFifoThreadSafe::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return count_;
}

int TFifoThreadSafe::BlockCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  int n = 0;
  for (Block* b = head_; b; b = b->next) ++n;
  return n;
}

void TFifoThreadSafe::DeleteData(void*) {}

// ------------------------------------------------------------ strings

TFifoStringThreadSafeU::~TFifoStringThreadSafeU() { Clear(); }

void TFifoStringThreadSafeU::Push(const std::u16string& text) {
  auto* item = new std::u16string(text);
  try {
    TFifoThreadSafe::Push(item);
  } catch (...) {
    delete item;
    throw;
  }
}

void TFifoStringThreadSafeU::Push(std::u16string&& text) {
  auto* item = new std::u16string(std::move(text));
  try {
    TFifoThreadSafe::Push(item);
  } catch (...) {
    delete item;
    throw;
  }
}

bool TFifoStringThreadSafeU::Pop(std::u16string& text) {
  void* item = nullptr;
  if (!TFifoThreadSafe::Pop(item)) return false;
  auto* s = static_cast<std::u16string*>(item);
  text = std::move(*s);
  delete s;
  return true;
}

void TFifoStringThreadSafeU::DeleteData(void* item) { delete static_cast<std::u16string*>(item); }

#include "foundation/buffer_ptr.h"

#include <algorithm>
#include <cmath>

TDaxBufferPtr::TDaxBufferPtr(int capacity, int divisor) {
  if (capacity <= 0) throw Exception("Capacity can not be 0");
  if (divisor < 1) divisor = 1;
  capacity_ = capacity;
  slots_.assign(static_cast<size_t>(capacity), nullptr);
  float c = static_cast<float>(capacity), d = static_cast<float>(divisor);
  low_mark_ = static_cast<int>(std::lrint(c / d));
  high_mark_ = static_cast<int>(std::lrint((d - 1.0f) * c / d));
}

void TDaxBufferPtr::Append(void* const* pointers, int n) {
  for (int i = 0; i < n; ++i) {
    slots_[static_cast<size_t>(write_)] = pointers[i];
    if (++write_ == capacity_) write_ = 0;
  }
  count_.fetch_add(n, std::memory_order_release);
}

void TDaxBufferPtr::Take(void** pointers, int n) {
  for (int i = 0; i < n; ++i) {
    pointers[i] = slots_[static_cast<size_t>(read_)];
    if (++read_ == capacity_) read_ = 0;
  }
  count_.fetch_sub(n, std::memory_order_release);
}

void TDaxBufferPtr::AfterAdd(int old_count, int new_count) {
  if (old_count < high_mark_ && new_count >= high_mark_ && OnHighMark) OnHighMark();
}

void TDaxBufferPtr::AfterRemove(int old_count, int new_count) {
  if (old_count > low_mark_ && new_count <= low_mark_ && OnLowMark) OnLowMark();
}

void TDaxBufferPtr::PushOne(void* pointer) {
  int old_count;
  {
    std::lock_guard<std::mutex> guard(lock_);
    old_count = count_.load(std::memory_order_relaxed);
    if (old_count >= capacity_) throw EPtrBufferErrorOverflow("pointer buffer overflow");
    Append(&pointer, 1);
  }
  AfterAdd(old_count, old_count + 1);
}

int TDaxBufferPtr::PushMany(void* const* pointers, int n) {
  if (n <= 0) return 0;
  int old_count, taken;
  {
    std::lock_guard<std::mutex> guard(lock_);
    old_count = count_.load(std::memory_order_relaxed);
    taken = std::min(n, capacity_ - old_count);
    Append(pointers, taken);
  }
  if (taken > 0) AfterAdd(old_count, old_count + taken);
  return taken;
}

void* TDaxBufferPtr::PopOne() {
  void* pointer;
  int old_count;
  {
    std::lock_guard<std::mutex> guard(lock_);
    old_count = count_.load(std::memory_order_relaxed);
    if (old_count <= 0) throw EPtrBufferErrorUnderflow("pointer buffer underflow");
    Take(&pointer, 1);
  }
  AfterRemove(old_count, old_count - 1);
  return pointer;
}

int TDaxBufferPtr::PopMany(void** pointers, int n) {
  if (n <= 0) return 0;
  int old_count, taken;
  {
    std::lock_guard<std::mutex> guard(lock_);
    old_count = count_.load(std::memory_order_relaxed);
    taken = std::min(n, old_count);
    Take(pointers, taken);
  }
  if (taken > 0) AfterRemove(old_count, old_count - taken);
  return taken;
}

int TDaxBufferPtr::MoveLimited(TDaxBufferPtr& source, int wanted) {
  // A ring moved into itself would take its own lock twice.
  if (&source == this || wanted <= 0) return 0;
  void* batch[kMoveBatch];
  int old_count, moved = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    old_count = count_.load(std::memory_order_relaxed);
    for (;;) {
      int room = capacity_ - count_.load(std::memory_order_relaxed);
      int n = std::min({room, wanted - moved, kMoveBatch});
      if (n <= 0) break;
      int got = source.PopMany(batch, n);
      if (got <= 0) break;
      Append(batch, got);
      moved += got;
    }
  }
  if (moved > 0) AfterAdd(old_count, old_count + moved);
  return moved;
}

int TDaxBufferPtr::MoveAllFrom(TDaxBufferPtr& source) { return MoveLimited(source, capacity_); }

int TDaxBufferPtr::MoveFrom(TDaxBufferPtr& source, int n) { return MoveLimited(source, n); }

void TDaxBufferPtr::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  count_.store(0, std::memory_order_release);
  write_ = read_ = 0;
}

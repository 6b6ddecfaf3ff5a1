// A thread-safe ring of pointers of fixed capacity: voice blocks travel
// between threads as pointers through these rings, never as copies. Two
// callbacks report when the fill level crosses a low or a high mark.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EPtrBufferError, Exception);
DAX_DECLARE_EXCEPTION(EPtrBufferErrorOverflow, EPtrBufferError);
DAX_DECLARE_EXCEPTION(EPtrBufferErrorUnderflow, EPtrBufferError);

class TDaxBufferPtr {
 public:
  // Pointers moved per locked batch.
  static constexpr int kMoveBatch = 512;

  // Raises Exception "Capacity can not be 0" for a capacity below 1. The
  // marks are round(C / D) and round((D - 1) C / D) in single precision,
  // ties to even; a divisor below 1 counts as 1.
  TDaxBufferPtr(int capacity, int divisor);
  TDaxBufferPtr(const TDaxBufferPtr&) = delete;
  TDaxBufferPtr& operator=(const TDaxBufferPtr&) = delete;

  // Raises EPtrBufferErrorOverflow when full.
  void PushOne(void* pointer);
  // Takes as many as fit, in order; returns how many.
  int PushMany(void* const* pointers, int n);
  // Raises EPtrBufferErrorUnderflow when empty.
  void* PopOne();
  // Up to n of the oldest, oldest first; returns how many.
  int PopMany(void** pointers, int n);
  // Moves from source until this ring is full or the source is empty.
  int MoveAllFrom(TDaxBufferPtr& source);
  // The same, at most n; n below 1 moves nothing.
  int MoveFrom(TDaxBufferPtr& source, int n);
  // Forgets every pointer; reports no mark crossing.
  void Clear();

  int Count() const noexcept { return count_.load(std::memory_order_acquire); }
  int Capacity() const noexcept { return capacity_; }
  int LowMark() const noexcept { return low_mark_; }
  int HighMark() const noexcept { return high_mark_; }

  // Called after the lock is released, in the thread that made the change:
  // when the count falls from above the low mark to it or below, and when it
  // rises from below the high mark to it or above. Set before other threads
  // use the ring.
  std::function<void()> OnLowMark;
  std::function<void()> OnHighMark;

 private:
  int MoveLimited(TDaxBufferPtr& source, int wanted);
  void AfterAdd(int old_count, int new_count);
  void AfterRemove(int old_count, int new_count);
  // Callers hold the lock.
  void Append(void* const* pointers, int n);
  void Take(void** pointers, int n);

  std::vector<void*> slots_;
  int capacity_;
  std::atomic<int> count_{0};
  int write_ = 0;
  int read_ = 0;
  std::mutex lock_;
  int low_mark_;
  int high_mark_;
};

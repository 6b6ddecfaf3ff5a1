// The pool that owns every voice buffer of the program in one memory block
// and keeps the free ones in a pointer ring. Users pop free buffers from the
// ring and push (or move) used ones back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "foundation/buffer_ptr.h"

DAX_DECLARE_EXCEPTION(EPoolBufferException, Exception);

class TDaxPoolBuffers {
 public:
  // The size is rounded up to a multiple of 8 (a size below 1 counts as 8);
  // a count below 1 raises "Capacity can not be 0". Every byte starts as 255.
  TDaxPoolBuffers(int buffer_size, int count);
  TDaxPoolBuffers(const TDaxPoolBuffers&) = delete;
  TDaxPoolBuffers& operator=(const TDaxPoolBuffers&) = delete;

  // Puts every buffer into the ring, in address order. Raises
  // EPoolBufferException "pool of buffers is overflow" if they do not fit.
  void Fill();

  // The ring of free buffers. The pool does not check what is pushed back.
  TDaxBufferPtr& Buffers() noexcept { return buffers_; }
  const TDaxBufferPtr& Buffers() const noexcept { return buffers_; }

  int BufferSize() const noexcept { return buffer_size_; }
  int BufferCount() const noexcept { return buffer_count_; }
  uint8_t* Memory() const noexcept { return memory_.get(); }

  // Fires when the free count falls to a quarter of the pool.
  void SetOnEmpty(std::function<void()> event) { buffers_.OnLowMark = std::move(event); }
  // Fires when the free count rises to three quarters of the pool.
  void SetOnFull(std::function<void()> event) { buffers_.OnHighMark = std::move(event); }

 private:
  int buffer_count_;
  int buffer_size_;
  std::unique_ptr<uint8_t[]> memory_;
  TDaxBufferPtr buffers_;
};

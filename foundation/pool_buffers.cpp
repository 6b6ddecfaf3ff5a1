#include "foundation/pool_buffers.h"

#include <cstring>

namespace {

int RoundSize(int size) {
  if (size < 1) return 8;
  // Computed wide: a size near INT_MAX must not wrap.
  int64_t rounded = (static_cast<int64_t>(size) + 7) / 8 * 8;
  if (rounded > INT32_MAX) throw Exception("Buffer size is too large");
  return static_cast<int>(rounded);
}

}  // namespace

TDaxPoolBuffers::TDaxPoolBuffers(int buffer_size, int count)
    : buffer_count_(count), buffer_size_(RoundSize(buffer_size)), buffers_(count, 4) {
  size_t bytes = static_cast<size_t>(buffer_count_) * static_cast<size_t>(buffer_size_);
  memory_.reset(new uint8_t[bytes]);
  std::memset(memory_.get(), 255, bytes);
  Fill();
}

void TDaxPoolBuffers::Fill() {
  buffers_.Clear();
  void* batch[128];
  int i = 0;
  while (i < buffer_count_) {
    int n = 0;
    while (n < 128 && i < buffer_count_) {
      batch[n++] = memory_.get() + static_cast<size_t>(i) * static_cast<size_t>(buffer_size_);
      ++i;
    }
    if (buffers_.PushMany(batch, n) < n) throw EPoolBufferException("pool of buffers is overflow");
  }
}

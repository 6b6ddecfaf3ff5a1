#include "foundation/byte_buffers.h"

#include <algorithm>
#include <cstring>

// ------------------------------------------------------------ byte ring

TDaxBufferThreadUnSafe::TDaxBufferThreadUnSafe(int size) {
  if (size < 8) size = 8;
  int64_t rounded = (static_cast<int64_t>(size) + 7) / 8 * 8;
  if (rounded > INT32_MAX - 7) rounded = (INT32_MAX - 7) / 8 * 8;
  size_ = static_cast<int>(rounded);
  block_.reset(new uint8_t[static_cast<size_t>(size_)]);
  std::memset(block_.get(), 255, static_cast<size_t>(size_));
  end_ = block_.get() + size_;
  read_ = write_ = block_.get();
}

void TDaxBufferThreadUnSafe::Write(const void* source, int n) {
  if (n <= 0) return;
  if (n > size_ - count_) throw EDaxBufferNotEnoughtFreeSpace("Not enough free space in buffer");
  auto* src = static_cast<const uint8_t*>(source);
  if (write_ >= read_) {
    int part = std::min(static_cast<int>(end_ - write_), n);
    std::memcpy(write_, src, static_cast<size_t>(part));
    count_ += part;
    write_ += part;
    if (write_ == end_) write_ = block_.get();
    int rest = n - part;
    if (rest > 0) {
      int more = std::min(static_cast<int>(read_ - block_.get()), rest);
      std::memcpy(write_, src + part, static_cast<size_t>(more));
      count_ += more;
      write_ += more;
    }
  } else {
    int part = std::min(static_cast<int>(read_ - write_), n);
    std::memcpy(write_, src, static_cast<size_t>(part));
    count_ += part;
    write_ += part;
  }
}

void TDaxBufferThreadUnSafe::Read(void* destination, int n) {
  if (n <= 0) return;
  if (n > count_) throw EDaxBufferNotEnoughtData("Not enough data in buffer");
  auto* dst = static_cast<uint8_t*>(destination);
  auto take = [&](int bytes) {
    std::memcpy(dst, read_, static_cast<size_t>(bytes));
    dst += bytes;
    count_ -= bytes;
    if (count_ == 0) {
      read_ = write_ = block_.get();
    } else {
      read_ += bytes;
      if (read_ == end_) read_ = block_.get();
    }
  };
  if (write_ > read_) {
    take(n);
  } else {
    int part = std::min(static_cast<int>(end_ - read_), n);
    take(part);
    if (n - part > 0) take(n - part);
  }
}

void TDaxBufferThreadUnSafe::Clear() {
  count_ = 0;
  read_ = write_ = block_.get();
}

// ------------------------------------------------------------ growable buffer

void DaxByteBufferInit(TDaxByteBuffer& buffer, int size) {
  DaxByteBufferFree(buffer);
  if (size <= 0) size = 128;
  uint64_t capacity = (static_cast<uint64_t>(size) + 4) & ~uint64_t{3};
  if (capacity > kDaxByteBufferMaxCapacity) throw EDaxByteBufferTooLarge("Byte buffer is too large");
  buffer.Data = new uint8_t[capacity];
  buffer.Data[0] = 0;
  buffer.Capacity = static_cast<uint32_t>(capacity);
  buffer.Length = 0;
}

void DaxByteBufferReserve(TDaxByteBuffer& buffer, uint32_t n) {
  // 64 bits: n + 1 and n + n/4 + 4 must not wrap to a short block.
  uint64_t needed = static_cast<uint64_t>(n) + 1;
  if (buffer.Data && buffer.Capacity >= needed) return;
  uint64_t capacity = (static_cast<uint64_t>(n) + n / 4 + 4) & ~uint64_t{3};
  if (capacity > kDaxByteBufferMaxCapacity) throw EDaxByteBufferTooLarge("Byte buffer is too large");
  auto* block = new uint8_t[capacity];
  // The length never exceeds what the old block held.
  uint32_t keep = buffer.Data ? std::min(buffer.Length, buffer.Capacity - 1) : 0;
  if (keep > 0) std::memcpy(block, buffer.Data, keep);
  block[keep] = 0;
  delete[] buffer.Data;
  buffer.Data = block;
  buffer.Capacity = static_cast<uint32_t>(capacity);
  buffer.Length = keep;
}

void DaxByteBufferFree(TDaxByteBuffer& buffer) {
  delete[] buffer.Data;
  buffer.Data = nullptr;
  buffer.Capacity = 0;
  buffer.Length = 0;
}

// ------------------------------------------------------------ mapped stream

TMappedMemoryStream::TMappedMemoryStream(const void* memory, int64_t size)
    : memory_(static_cast<const uint8_t*>(memory)), size_(size < 0 ? 0 : size) {}

int64_t TMappedMemoryStream::Read(void* destination, int64_t n) {
  if (n <= 0 || position_ >= size_) return 0;
  int64_t got = std::min(n, size_ - position_);
  std::memcpy(destination, memory_ + position_, static_cast<size_t>(got));
  position_ += got;
  return got;
}

int64_t TMappedMemoryStream::Seek(int64_t offset, TDaxSeekOrigin origin) {
  int64_t base = origin == TDaxSeekOrigin::Beginning ? 0 : origin == TDaxSeekOrigin::Current ? position_ : size_;
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) target = offset < 0 ? 0 : INT64_MAX;
  position_ = target < 0 ? 0 : target;
  return position_;
}

// Three small byte containers: a fixed byte ring for one thread at a time,
// a growable zero-terminated byte buffer, and a read-only stream over memory
// that someone else owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EDaxBufferException, Exception);
DAX_DECLARE_EXCEPTION(EDaxBufferNotEnought, EDaxBufferException);
DAX_DECLARE_EXCEPTION(EDaxBufferNotEnoughtData, EDaxBufferNotEnought);
DAX_DECLARE_EXCEPTION(EDaxBufferNotEnoughtFreeSpace, EDaxBufferNotEnought);
// A growable buffer asked to exceed kDaxByteBufferMaxCapacity.
DAX_DECLARE_EXCEPTION(EDaxByteBufferTooLarge, EDaxBufferException);

// Fixed-size byte ring, not locked. Size is a multiple of 8, at least 8;
// the block starts filled with 255. Emptying it puts both positions back to
// the start.
class TDaxBufferThreadUnSafe {
 public:
  explicit TDaxBufferThreadUnSafe(int size);
  TDaxBufferThreadUnSafe(const TDaxBufferThreadUnSafe&) = delete;
  TDaxBufferThreadUnSafe& operator=(const TDaxBufferThreadUnSafe&) = delete;

  // Raises EDaxBufferNotEnoughtFreeSpace ("Not enough free space in buffer")
  // and writes nothing when n exceeds the free space; n <= 0 does nothing.
  void Write(const void* source, int n);
  // Raises EDaxBufferNotEnoughtData ("Not enough data in buffer") and takes
  // nothing when n exceeds the count; n <= 0 does nothing.
  void Read(void* destination, int n);
  void Clear();

  int Count() const noexcept { return count_; }
  int Size() const noexcept { return size_; }
  int FreeSpace() const noexcept { return size_ - count_; }

 private:
  std::unique_ptr<uint8_t[]> block_;
  uint8_t* end_;
  uint8_t* read_;
  uint8_t* write_;
  int size_;
  int count_ = 0;
};

// Largest capacity a growable byte buffer takes; far above any line or list
// the program reads, and well inside 32 bits.
constexpr uint32_t kDaxByteBufferMaxCapacity = 1u << 30;

// Zero-terminated byte string that grows on demand: Data always holds a zero
// byte at Data[Length], so Capacity >= Length + 1. Owns its block.
struct TDaxByteBuffer {
  uint8_t* Data = nullptr;
  uint32_t Capacity = 0;
  uint32_t Length = 0;

  TDaxByteBuffer() = default;
  TDaxByteBuffer(const TDaxByteBuffer&) = delete;
  TDaxByteBuffer& operator=(const TDaxByteBuffer&) = delete;
  ~TDaxByteBuffer() { delete[] Data; }
};

// Clears the record (freeing a block it had); size <= 0 becomes 128;
// capacity = (size + 4) rounded down to a multiple of 4; length 0.
void DaxByteBufferInit(TDaxByteBuffer& buffer, int size);
// Makes room for n content bytes plus the zero byte, growing to
// (n + n/4 + 4) rounded down to a multiple of 4. Keeps the content and its
// zero byte; the length is not changed. Raises EDaxByteBufferTooLarge above
// kDaxByteBufferMaxCapacity.
void DaxByteBufferReserve(TDaxByteBuffer& buffer, uint32_t n);
// Frees the block and clears the record.
void DaxByteBufferFree(TDaxByteBuffer& buffer);

enum class TDaxSeekOrigin { Beginning, Current, End };

// The stream interface of the program's readers.
class TDaxStream {
 public:
  virtual ~TDaxStream() = default;
  // Bytes read, 0 at the end.
  virtual int64_t Read(void* destination, int64_t n) = 0;
  // Bytes written.
  virtual int64_t Write(const void* source, int64_t n) = 0;
  // The new position.
  virtual int64_t Seek(int64_t offset, TDaxSeekOrigin origin) = 0;
  virtual int64_t Size() const = 0;
  virtual int64_t Position() const = 0;
};

// A read-only stream over memory given by the creator, neither copied nor
// freed; it must stay valid and unchanged while the stream lives.
class TMappedMemoryStream : public TDaxStream {
 public:
  TMappedMemoryStream(const void* memory, int64_t size);

  int64_t Read(void* destination, int64_t n) override;
  // Writes nothing.
  int64_t Write(const void*, int64_t) override { return 0; }
  // Positions below 0 become 0; past the end reads return 0.
  int64_t Seek(int64_t offset, TDaxSeekOrigin origin) override;
  int64_t Size() const override { return size_; }
  int64_t Position() const override { return position_; }
  const void* Memory() const noexcept { return memory_; }

 private:
  const uint8_t* memory_;
  int64_t size_;
  int64_t position_ = 0;
};

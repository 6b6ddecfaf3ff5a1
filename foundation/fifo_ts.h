// Unbounded thread-safe FIFOs of pointers. Memory is taken in blocks of
// item slots, so a queue that stays short never allocates. Each descendant
// says how a still-queued item is disposed of.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class TFifoThreadSafe {
 public:
  static constexpr int kMinBlockSize = 16;
  static constexpr int kMaxBlockSize = 4096;

  explicit TFifoThreadSafe(int block_size);
  TFifoThreadSafe(const TFifoThreadSafe&) = delete;
  TFifoThreadSafe& operator=(const TFifoThreadSafe&) = delete;
  // Forgets what is still queued: C++ cannot reach a descendant's
  // DeleteData from here, so every descendant calls Clear() in its own
  // destructor.
  virtual ~TFifoThreadSafe();

  void Push(void* item);
  // False, with item untouched, when the queue is empty.
  bool Pop(void*& item);
  // Disposes of every queued item through DeleteData (under the lock).
  void Clear();

  int Count() const;
  int BlockSize() const noexcept { return block_size_; }
  // Blocks now linked; a seam for tests of the block handling.
  int BlockCount() const;

 protected:
  // Disposes of one item that is still queued. Must not touch the queue.
  virtual void DeleteData(void* item);

 private:
  struct Block {
    Block* next;
    int16_t write_index;
    int16_t read_index;
    int16_t item_count;
    // block_size_ item slots follow the header.
  };
  static void** Slots(Block* b) { return reinterpret_cast<void**>(b + 1); }
  Block* NewBlock() const;
  static void FreeBlock(Block* block);

  mutable std::mutex lock_;
  Block* head_ = nullptr;
  Block* tail_ = nullptr;
  int count_ = 0;
  int block_size_;
};

// A FIFO of UTF-16 texts: log lines of the workers, script output, file
// names.
class TFifoStringThreadSafeU : public TFifoThreadSafe {
 public:
  using TFifoThreadSafe::TFifoThreadSafe;
  ~TFifoStringThreadSafeU() override;

  // Queues a copy; the caller keeps its own.
  void Push(const std::u16string& text);
  void Push(std::u16string&& text);
  // False and text unchanged when empty.
  bool Pop(std::u16string& text);

 protected:
  void DeleteData(void* item) override;
};

// The player-command queue from the protocol thread to the engine: a fixed
// ring of records held by value, so queuing a PCM block costs no allocation.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "foundation/pool_buffers.h"
#include "foundation/types_base.h"

enum TVEKQueueCommandType : uint8_t {
  QCMD_NONE = 0,
  QCMD_PLAY_START = 1,
  QCMD_PLAY_STOP = 2,
  QCMD_PLAY_DATA = 3,
  QCMD_CLIENTSLIST = 4,
};

struct TVEKQueueFlatCmd {
  TVEKQueueCommandType Command = QCMD_NONE;
  // The talker, for QCMD_PLAY_START.
  TVEKClientRec Client;
  // A 640-byte PCM block of the pool, for QCMD_PLAY_DATA.
  void* Data = nullptr;
  // The reception's statistics, for QCMD_PLAY_STOP: duration (ms), audio
  // received (frames x 40 ms), passes and waits of the protocol thread.
  int32_t StatDuration = 0;
  int32_t StatAudio = 0;
  int32_t StatPasses = 0;
  int32_t StatWaits = 0;
  // For QCMD_CLIENTSLIST.
  TVEKClientsArray Clients;
};

class TVEKQueueFlat {
 public:
  // Blocks returned per locked pass of Skip.
  static constexpr int kSkipBatch = 128;

  // A negative capacity becomes 0. The pool is not owned; dropped PCM
  // blocks go back to it.
  TVEKQueueFlat(int capacity, TDaxPoolBuffers* pool);
  TVEKQueueFlat(const TVEKQueueFlat&) = delete;
  TVEKQueueFlat& operator=(const TVEKQueueFlat&) = delete;
  // Frees what the records hold; PCM blocks still queued are not returned
  // (the pool may already be gone): Clear first to return them.
  ~TVEKQueueFlat();

  // Producing (one producer thread). Each returns false, taking nothing,
  // when the ring is full; the full test is made under the lock.
  bool Put(TVEKQueueFlatCmd&& cmd);
  bool PutPlayStart(const TVEKClientRec& client);
  bool PutPlayData(void* block);
  bool PutPlayStop(int32_t duration, int32_t audio, int32_t passes, int32_t waits);
  bool PutClientsList(const TVEKClientsArray& clients);

  // A copy of the head record and, in n, how many consecutive records from
  // there share its command; false and n = 0 when empty.
  bool PeekRun(TVEKQueueFlatCmd& head, int& n);
  // Moves the head record out, leaving an empty slot.
  bool GetOne(TVEKQueueFlatCmd& cmd);
  // Moves up to n records out in order, under one lock; returns how many.
  int GetMany(TVEKQueueFlatCmd* cmds, int n);
  // Drops up to n head records; their PCM blocks go back to the pool after
  // the lock is released. Returns how many were dropped.
  int Skip(int n);
  // Drops every record, returning PCM blocks to the pool.
  void Clear();

  int Capacity() const noexcept { return capacity_; }
  int Count() const noexcept { return count_.load(std::memory_order_acquire); }
  // Room for one more record, read without the lock: with a single
  // producer it stays true until that producer puts.
  bool HasRoom() const noexcept { return Count() < capacity_; }
  int PlayStartCount() const noexcept { return play_starts_.load(std::memory_order_acquire); }
  int PlayStopCount() const noexcept { return play_stops_.load(std::memory_order_acquire); }

 private:
  // Callers hold the lock; the ring is not empty.
  void TakeHead(TVEKQueueFlatCmd& out);
  void ReturnBlocks(void** blocks, int n);

  int capacity_;
  std::vector<TVEKQueueFlatCmd> ring_;
  int write_ = 0;
  int read_ = 0;
  std::atomic<int> count_{0};
  std::atomic<int> play_starts_{0};
  std::atomic<int> play_stops_{0};
  TDaxPoolBuffers* pool_;
  std::mutex lock_;
};

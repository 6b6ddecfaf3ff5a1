#include "net/qflat.h"

#include <utility>

TVEKQueueFlat::TVEKQueueFlat(int capacity, TDaxPoolBuffers* pool)
    : capacity_(capacity < 0 ? 0 : capacity), ring_(static_cast<size_t>(capacity_)), pool_(pool) {}

TVEKQueueFlat::~TVEKQueueFlat() = default;

bool TVEKQueueFlat::Put(TVEKQueueFlatCmd&& cmd) {
  std::lock_guard<std::mutex> guard(lock_);
  int count = count_.load(std::memory_order_relaxed);
  if (count >= capacity_) return false;
  TVEKQueueCommandType command = cmd.Command;
  ring_[static_cast<size_t>(write_)] = std::move(cmd);
  if (++write_ == capacity_) write_ = 0;
  count_.store(count + 1, std::memory_order_release);
  if (command == QCMD_PLAY_START) play_starts_.fetch_add(1, std::memory_order_release);
  if (command == QCMD_PLAY_STOP) play_stops_.fetch_add(1, std::memory_order_release);
  return true;
}

bool TVEKQueueFlat::PutPlayStart(const TVEKClientRec& client) {
  if (!HasRoom()) return false;
  TVEKQueueFlatCmd cmd;
  cmd.Command = QCMD_PLAY_START;
  cmd.Client = client;
  return Put(std::move(cmd));
}

bool TVEKQueueFlat::PutPlayData(void* block) {
  TVEKQueueFlatCmd cmd;
  cmd.Command = QCMD_PLAY_DATA;
  cmd.Data = block;
  return Put(std::move(cmd));
}

bool TVEKQueueFlat::PutPlayStop(int32_t duration, int32_t audio, int32_t passes, int32_t waits) {
  TVEKQueueFlatCmd cmd;
  cmd.Command = QCMD_PLAY_STOP;
  cmd.StatDuration = duration;
  cmd.StatAudio = audio;
  cmd.StatPasses = passes;
  cmd.StatWaits = waits;
  return Put(std::move(cmd));
}

bool TVEKQueueFlat::PutClientsList(const TVEKClientsArray& clients) {
  // Copying a list is not cheap: skip it when the ring is full anyway.
  if (!HasRoom()) return false;
  TVEKQueueFlatCmd cmd;
  cmd.Command = QCMD_CLIENTSLIST;
  cmd.Clients = clients;
  return Put(std::move(cmd));
}

bool TVEKQueueFlat::PeekRun(TVEKQueueFlatCmd& head, int& n) {
  std::lock_guard<std::mutex> guard(lock_);
  int count = count_.load(std::memory_order_relaxed);
  n = 0;
  if (count <= 0) return false;
  const TVEKQueueFlatCmd& first = ring_[static_cast<size_t>(read_)];
  int index = read_;
  while (n < count && ring_[static_cast<size_t>(index)].Command == first.Command) {
    ++n;
    if (++index == capacity_) index = 0;
  }
  head = first;
  return true;
}

void TVEKQueueFlat::TakeHead(TVEKQueueFlatCmd& out) {
  TVEKQueueFlatCmd& slot = ring_[static_cast<size_t>(read_)];
  TVEKQueueCommandType command = slot.Command;
  out = std::move(slot);
  // A moved-from slot may keep capacity or values: make it truly empty.
  slot = TVEKQueueFlatCmd();
  if (++read_ == capacity_) read_ = 0;
  count_.fetch_sub(1, std::memory_order_release);
  if (command == QCMD_PLAY_START) play_starts_.fetch_sub(1, std::memory_order_release);
  if (command == QCMD_PLAY_STOP) play_stops_.fetch_sub(1, std::memory_order_release);
}

bool TVEKQueueFlat::GetOne(TVEKQueueFlatCmd& cmd) {
  std::lock_guard<std::mutex> guard(lock_);
  if (count_.load(std::memory_order_relaxed) <= 0) return false;
  TakeHead(cmd);
  return true;
}

int TVEKQueueFlat::GetMany(TVEKQueueFlatCmd* cmds, int n) {
  std::lock_guard<std::mutex> guard(lock_);
  int taken = 0;
  while (taken < n && count_.load(std::memory_order_relaxed) > 0) TakeHead(cmds[taken++]);
  return taken;
}

void TVEKQueueFlat::ReturnBlocks(void** blocks, int n) {
  if (pool_ && n > 0) pool_->Buffers().PushMany(blocks, n);
}

int TVEKQueueFlat::Skip(int n) {
  int dropped = 0;
  void* blocks[kSkipBatch];
  while (dropped < n) {
    int found = 0;
    // Records are destroyed outside the lock too: client lists can be long.
    std::vector<TVEKQueueFlatCmd> gone;
    {
      std::lock_guard<std::mutex> guard(lock_);
      while (dropped < n && found < kSkipBatch && count_.load(std::memory_order_relaxed) > 0) {
        TVEKQueueFlatCmd cmd;
        TakeHead(cmd);
        ++dropped;
        if (cmd.Command == QCMD_PLAY_DATA) {
          if (cmd.Data) blocks[found++] = cmd.Data;
        } else if (cmd.Command == QCMD_CLIENTSLIST || cmd.Command == QCMD_PLAY_START) {
          gone.push_back(std::move(cmd));
        }
      }
    }
    // The pool's lock is never taken while the queue's is held.
    ReturnBlocks(blocks, found);
    // A short batch means n was reached or the ring ran empty.
    if (found < kSkipBatch) break;
  }
  return dropped;
}

void TVEKQueueFlat::Clear() {
  for (;;) {
    TVEKQueueFlatCmd cmd;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (count_.load(std::memory_order_relaxed) <= 0) break;
      TakeHead(cmd);
    }
    if (cmd.Command == QCMD_PLAY_DATA && cmd.Data) ReturnBlocks(&cmd.Data, 1);
  }
}

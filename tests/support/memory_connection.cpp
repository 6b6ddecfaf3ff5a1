#include "support/memory_connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>

TVEKMemoryConnection::TVEKMemoryConnection(std::string script, bool peerDisconnectIsError)
    : TVEKConnection(peerDisconnectIsError) {
  if (!script.empty()) steps_.push_back(Step{StepKind::Data, std::move(script)});
}

TVEKMemoryConnection::~TVEKMemoryConnection() = default;

void TVEKMemoryConnection::Append(const std::string& bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(Step{StepKind::Data, bytes});
  }
  changed_.notify_all();
}

void TVEKMemoryConnection::AppendTimeout() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(Step{StepKind::Timeout, {}});
  }
  changed_.notify_all();
}

void TVEKMemoryConnection::AppendError() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(Step{StepKind::Error, {}});
  }
  changed_.notify_all();
}

void TVEKMemoryConnection::AppendWakeup() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(Step{StepKind::Wakeup, {}});
  }
  changed_.notify_all();
}

void TVEKMemoryConnection::SetCloseAtEnd(bool close) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    close_at_end_ = close;
  }
  changed_.notify_all();
}

std::string TVEKMemoryConnection::Written() {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

std::size_t TVEKMemoryConnection::Unread() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = static_cast<std::size_t>(std::max(RecvFill() - RecvPos(), 0));
  for (const Step& s : steps_)
    if (s.Kind == StepKind::Data) n += s.Bytes.size() - s.Pos;
  return n;
}

void TVEKMemoryConnection::RandomChunks(std::int32_t most, std::uint64_t seed) {
  std::lock_guard<std::mutex> lock(mutex_);
  ChunkSize = std::max(most, 1);
  chunk_random_ = seed | 1;  // a zero xorshift state would stay zero
}

std::size_t TVEKMemoryConnection::NextChunkLimit() {
  const auto most = static_cast<std::size_t>(ChunkSize);
  if (chunk_random_ == 0) return most;
  chunk_random_ ^= chunk_random_ << 13;
  chunk_random_ ^= chunk_random_ >> 7;
  chunk_random_ ^= chunk_random_ << 17;
  return 1 + chunk_random_ % most;
}

std::uint8_t TVEKMemoryConnection::ReadRaw(void* buffer, std::int32_t length, std::int32_t& count) {
  std::lock_guard<std::mutex> lock(mutex_);
  count = 0;
  if (closed_) return VEK_RAW_CLOSED;
  // Wake-ups and time-outs are seen by waits; a raw read passes over them
  // only when bytes follow (a read without a wait before it).
  while (!steps_.empty()) {
    Step& s = steps_.front();
    if (s.Kind == StepKind::Error) {
      steps_.pop_front();
      return VEK_RAW_ERROR;
    }
    if (s.Kind != StepKind::Data) return VEK_RAW_DONE;
    std::size_t n = s.Bytes.size() - s.Pos;
    if (ChunkSize > 0) n = std::min(n, NextChunkLimit());
    n = std::min(n, static_cast<std::size_t>(std::max(length, 0)));
    std::memcpy(buffer, s.Bytes.data() + s.Pos, n);
    s.Pos += n;
    count = static_cast<std::int32_t>(n);
    if (s.Pos >= s.Bytes.size()) steps_.pop_front();
    return VEK_RAW_DONE;
  }
  if (close_at_end_) {
    if (LateClose && RecvPos() < RecvFill()) return VEK_RAW_DONE;
    reported_close_ = true;
    return VEK_RAW_CLOSED;
  }
  return VEK_RAW_DONE;
}

std::uint8_t TVEKMemoryConnection::WriteRaw(const void* buffer, std::int32_t length, std::int32_t& count) {
  std::lock_guard<std::mutex> lock(mutex_);
  count = 0;
  if (closed_) return VEK_RAW_CLOSED;
  std::size_t n = static_cast<std::size_t>(std::max(length, 0));
  if (WriteLimit >= 0) {
    const std::size_t room =
        written_.size() < static_cast<std::size_t>(WriteLimit) ? static_cast<std::size_t>(WriteLimit) - written_.size() : 0;
    if (room == 0) return WriteFailure;
    n = std::min(n, room);
  }
  written_.append(static_cast<const char*>(buffer), n);
  count = static_cast<std::int32_t>(n);
  return VEK_RAW_DONE;
}

void TVEKMemoryConnection::DoClose() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    ++close_count_;
  }
  changed_.notify_all();
}

void TVEKMemoryConnection::Connect() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
    reported_close_ = false;
  }
  TVEKConnection::Connect();
}

TWaiterResult TVEKMemoryConnection::DoWaitWakeup(std::uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool woken = changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return wakeup_; });
  if (!woken) return wr_Timeout;
  wakeup_ = false;
  return wr_Interrupt;
}

TWaiterResult TVEKMemoryConnection::DoWaitReadable(std::uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [&] { return wakeup_ || closed_ || !steps_.empty() || close_at_end_; };
  if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), ready)) return wr_Timeout;
  if (wakeup_) {
    wakeup_ = false;
    return wr_Interrupt;
  }
  if (!steps_.empty()) {
    const StepKind kind = steps_.front().Kind;
    if (kind == StepKind::Timeout || kind == StepKind::Wakeup) {
      steps_.pop_front();
      return kind == StepKind::Timeout ? wr_Timeout : wr_Interrupt;
    }
    return wr_Descriptor;
  }
  // A peer that closed without the close being an error: a later wait
  // would see the same end again; report the time-out at once so a read
  // that needs more bytes ends now instead of after its deadline.
  if (reported_close_ || closed_) return wr_Timeout;
  return wr_Descriptor;
}

void TVEKMemoryConnection::DoWakeup() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeup_ = true;
  }
  changed_.notify_all();
}

void TVEKMemoryConnection::DoClearWakeup() {
  std::lock_guard<std::mutex> lock(mutex_);
  wakeup_ = false;
}

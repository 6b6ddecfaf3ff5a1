// A connection over an in-memory byte script, for single-threaded tests of
// the readers and the protocol: reads are served from the script (whole or
// in chunks of at most ChunkSize bytes, or of seeded random sizes), writes
// are recorded. Steps between the bytes make the next wait time out, the
// next raw read fail, or the next wait report a wake-up. After the last step
// the peer closes (the default), or, with an open end, waits see more bytes
// appended by another thread or time out after the ms they were given. A
// Connect opens the connection again after a close.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "net/conn.h"

class TVEKMemoryConnection : public TVEKConnection {
 public:
  explicit TVEKMemoryConnection(std::string script = {}, bool peerDisconnectIsError = true);
  ~TVEKMemoryConnection() override;

  // Script steps, in order.
  void Append(const std::string& bytes);
  void AppendTimeout();  // the next wait reports a time-out
  void AppendError();    // the next raw read fails
  void AppendWakeup();   // the next wait reports a wake-up
  // false: after the last step waits block for more steps instead of the
  // peer closing. Call before reading.
  void SetCloseAtEnd(bool close);
  // At most this many bytes per raw read; 0 hands out a whole data step.
  std::int32_t ChunkSize = 0;
  // Raw reads of a size drawn anew each time from 1 to most, from the seed:
  // uneven pieces that come out the same for the same seed. Call before
  // reading.
  void RandomChunks(std::int32_t most, std::uint64_t seed);
  // true: the peer's close shows only once the reader has taken every byte
  // before it (a close that arrives late), so no read of what is already
  // buffered is cut short by it.
  bool LateClose = false;
  // Result of every raw write after the first WriteLimit bytes (-1: none).
  std::uint8_t WriteFailure = VEK_RAW_ERROR;
  std::int64_t WriteLimit = -1;

  // Everything written so far.
  std::string Written();
  // Script bytes not yet taken by the connection plus those still in its
  // receive buffer.
  std::size_t Unread();
  bool Closed() const { return closed_; }
  int CloseCount() const { return close_count_; }

  bool IsActive() override { return !closed_; }
  bool IsConnected() override { return !closed_; }
  std::uint8_t ReadRaw(void* buffer, std::int32_t length, std::int32_t& count) override;
  std::uint8_t WriteRaw(const void* buffer, std::int32_t length, std::int32_t& count) override;
  void DoClose() override;
  void DoAbort() override { DoClose(); }
  TWaiterResult DoWaitWakeup(std::uint32_t ms) override;
  TWaiterResult DoWaitReadable(std::uint32_t ms) override;
  TWaiterResult DoWaitWritable(std::uint32_t) override { return wr_Descriptor; }
  void DoWakeup() override;
  void DoClearWakeup() override;
  void Connect() override;

 private:
  enum class StepKind { Data, Timeout, Error, Wakeup };
  std::size_t NextChunkLimit();
  struct Step {
    StepKind Kind;
    std::string Bytes;
    std::size_t Pos = 0;
  };

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Step> steps_;
  std::string written_;
  // 0 while the chunk size is fixed; xorshift state otherwise.
  std::uint64_t chunk_random_ = 0;
  bool close_at_end_ = true;
  bool closed_ = false;
  bool reported_close_ = false;
  bool wakeup_ = false;
  int close_count_ = 0;
};

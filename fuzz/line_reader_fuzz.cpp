// The connection's line readers on any byte stream cut into any chunks: the
// lines they return depend only on the bytes, never on the chunking; no line
// exceeds its maximum; the readers end when the stream does.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/conn.h"
#include "net/exception.h"

namespace {

// An in-memory transport: hands out the stream in pieces of the given sizes,
// then reports the close; a wait after the close times out.
class ChunkedConnection : public TVEKConnection {
 public:
  ChunkedConnection(bool peerError, std::string stream, std::uint64_t seed)
      : TVEKConnection(peerError), stream_(std::move(stream)), seed_(seed | 1) {}
  bool IsActive() override { return true; }
  bool IsConnected() override { return true; }
  std::uint8_t ReadRaw(void* buffer, std::int32_t length, std::int32_t& count) override {
    count = 0;
    if (pos_ >= stream_.size()) {
      closed_ = true;
      return VEK_RAW_CLOSED;
    }
    seed_ ^= seed_ << 13;
    seed_ ^= seed_ >> 7;
    seed_ ^= seed_ << 17;
    std::size_t n = 1 + seed_ % ((seed_ >> 20) % 4 ? 40 : 20000);
    n = std::min({n, stream_.size() - pos_, static_cast<std::size_t>(length)});
    std::memcpy(buffer, stream_.data() + pos_, n);
    pos_ += n;
    count = static_cast<std::int32_t>(n);
    return VEK_RAW_DONE;
  }
  std::uint8_t WriteRaw(const void*, std::int32_t length, std::int32_t& count) override {
    count = length;
    return VEK_RAW_DONE;
  }
  void DoClose() override { Reset(); }
  TWaiterResult DoWaitWakeup(std::uint32_t) override { return wr_Timeout; }
  TWaiterResult DoWaitReadable(std::uint32_t) override { return closed_ ? wr_Timeout : wr_Descriptor; }
  TWaiterResult DoWaitWritable(std::uint32_t) override { return wr_Descriptor; }
  void DoWakeup() override {}
  void DoClearWakeup() override {}

 private:
  std::string stream_;
  std::size_t pos_ = 0;
  std::uint64_t seed_;
  bool closed_ = false;
};

std::vector<std::string> Reference(const std::string& s, std::size_t max, bool withTail) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t lf = s.find('\n', start);
    if (lf == std::string::npos && !withTail) break;
    std::string line = s.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    if (line.size() > max) line.resize(max);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return 0;
  const bool toBuffer = data[0] & 1;
  const bool peerError = data[0] & 2;
  const std::size_t max = 1 + static_cast<std::size_t>(data[1]) * 67;
  std::uint64_t seed = 0;
  std::memcpy(&seed, data + 2, 8);
  const std::string stream(reinterpret_cast<const char*>(data + 10), size - 10);

  ChunkedConnection c(peerError, stream, seed);
  c.Params.ReadTimeout = 1000;
  std::vector<std::string> got;
  TDaxByteBuffer buffer;
  DaxByteBufferInit(buffer, 16);
  bool ended = false;
  for (int guard = 0; guard < 100000 && !ended; ++guard) {
    try {
      if (toBuffer) {
        c.ReadLineToBuffer(buffer, static_cast<std::int32_t>(max));
        if (buffer.Data[buffer.Length] != 0) __builtin_trap();
        got.emplace_back(reinterpret_cast<const char*>(buffer.Data), buffer.Length);
      } else {
        std::string line;
        c.ReadLine(line, static_cast<std::int32_t>(max));
        got.push_back(line);
        // With the flag clear a closed stream keeps giving its last text.
        if (!peerError && c.LastReadResult == VEK_RAW_CLOSED && c.RecvFill() == 0) ended = true;
      }
    } catch (const EVEKErrorConnection&) {
      ended = true;
    }
  }
  if (!ended) __builtin_trap();  // a reader that never ends
  for (const std::string& l : got)
    if (l.size() > max) __builtin_trap();
  const auto ref = Reference(stream, max, !toBuffer && !peerError);
  // Lines up to the end must match; the clear-flag ReadLine also returns the
  // unterminated tail (empty when the stream ended with LF).
  const std::size_t n = std::min(got.size(), ref.size());
  for (std::size_t i = 0; i < n; ++i)
    if (got[i] != ref[i]) __builtin_trap();
  if (got.size() < ref.size()) __builtin_trap();
  return 0;
}

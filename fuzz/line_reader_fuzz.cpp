// The connection's line readers on any byte stream cut into any chunks: the
// lines they return depend only on the bytes, never on the chunking; no line
// exceeds its maximum; the readers end when the stream does.
//
// Input: byte 0 holds switches (bit 0 the buffer reader, bit 1 a peer's close
// is an error, bit 2 pieces of up to 20000 bytes instead of 40), byte 1 the
// line maximum in steps of 67, bytes 2-9 the seed of the piece sizes; the
// rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/conn.h"
#include "net/exception.h"
#include "support/memory_connection.h"

namespace {

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
  const bool largeChunks = data[0] & 4;
  const std::size_t max = 1 + static_cast<std::size_t>(data[1]) * 67;
  std::uint64_t seed = 0;
  std::memcpy(&seed, data + 2, 8);
  const std::string stream(reinterpret_cast<const char*>(data + 10), size - 10);

  TVEKMemoryConnection c(stream, peerError);
  c.RandomChunks(largeChunks ? 20000 : 40, seed);
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

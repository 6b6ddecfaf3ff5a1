// The protocol thread fed any bytes as the server's side of a link: the
// handshake, the login and then every marker, list reader, message reader
// and sound path run on them. Nothing may crash or read out of bounds,
// memory stays bounded, the link always comes down, every voice block goes
// back to the pool, and no exception outside the program's own classes
// reaches the thread's loop.
//
// Input: byte 0 holds switches (bit 0 client version 2011002, bit 1 the
// receive switch stays off, bits 2-4 how far the thread's clock moves at each
// reading, in steps of 50 ms, bit 5 a channel request after login, bit 6 the
// receive alignment); the rest is what the server sends, from the handshake
// answer on. The seeds in corpus/marker_reader_fuzz log in.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "net/proto.h"
#include "station/gsmprocessor.h"
#include "support/memory_connection.h"
#include "support/proto_rig.h"

namespace {

constexpr std::int32_t kOldClientVersion = 2011002;
constexpr std::int32_t kLargestChunk = 97;
constexpr std::uint64_t kChunkSeed = 0x9E3779B97F4A7C15ULL;
constexpr int kCapturedBlocks = 7;
constexpr std::uint32_t kClockStepMs = 50;
// Shortly before the clock wraps.
constexpr std::uint32_t kClockStart = 0xFFFFF000u;

// Built once: the pool and the player queue are large, and each input's
// protocol thread leaves them as it found them.
vektest::ProtoRig& Rig() {
  static vektest::ProtoRig rig;
  return rig;
}

// Set by whichever callback reports that the link is down.
class LinkDown {
 public:
  void Signal() {
    {
      std::lock_guard<std::mutex> g(mu_);
      down_ = true;
    }
    cv_.notify_all();
  }
  bool WaitFor(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, limit, [&] { return down_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool down_ = false;
};

// Captured voice decoded from the input's own bytes, then the channel
// request.
void Transmit(vektest::ProtoRig& rig, const std::uint8_t* data, std::size_t size) {
  TGSM49Processor voice;
  std::uint8_t block[kVekGsmBlockBytes] = {};
  std::memcpy(block, data, std::min(size, sizeof block));
  for (int i = 0; i < kCapturedBlocks; ++i) {
    void* pcm = rig.pool.Buffers().PopOne();
    voice.Decode(block, static_cast<std::int16_t*>(pcm));
    rig.captured.PushOne(pcm);
  }
  rig.proto->RequestTX();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  vektest::ProtoRig& rig = Rig();
  rig.serverParams.RxAlignEnabled = (control & 0x40) != 0;
  rig.serverParams.RxAlignTime = 600;
  // A backup server announced by an earlier input must not carry over.
  rig.server.SetServers(TVEKServerPair{});

  const std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
  auto conn = std::make_unique<TVEKMemoryConnection>(stream);
  conn->RandomChunks(kLargestChunk, kChunkSeed);
  // Every marker sent is read before the close ends the link.
  conn->LateClose = true;
  rig.Start(std::move(conn));
  TVEKProtocol& proto = *rig.proto;
  proto.ClientVersion = (control & 0x01) ? kOldClientVersion : kVekDefaultClientVersion;
  // Time moves only as the thread reads it, so a run does not depend on how
  // fast the machine is and reaches the timed paths all the same.
  proto.Clock = [now = kClockStart, step = ((control >> 2) & 7) * kClockStepMs]() mutable {
    now += step;
    return now;
  };

  LinkDown down;
  proto.OnThreadError = [&](const std::u16string& text) {
    if (text.find(u"std::exception") != std::u16string::npos) std::abort();
    down.Signal();
  };
  proto.OnDisconnected = [&] { down.Signal(); };
  proto.OnPeerDisconnected = [&] { down.Signal(); };
  proto.OnServerConnectError = [&](const std::u16string&) { down.Signal(); };
  proto.OnPoolUnderflow = [] {};
  proto.OnInitiated = [&] {
    if (!(control & 0x02)) proto.EnableReceive();
    if (control & 0x20) Transmit(rig, data + 1, size - 1);
  };
  // The engine's consumer: play blocks go back to the pool as they come.
  proto.OnPlayData = [&] { rig.queue.Skip(TVEKQueueFlat::kSkipBatch); };
  proto.TargetHost = u"127.0.0.1";
  proto.TargetPort = 1;
  proto.RequestConnect();
  // The link must come down on its own: a hang is a fault.
  if (!down.WaitFor(std::chrono::seconds(20))) std::abort();
  rig.Stop();
  if (rig.pool.Buffers().Count() != rig.pool.BufferCount()) std::abort();  // a voice block got lost
  return 0;
}

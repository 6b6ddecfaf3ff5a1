// The protocol thread after a login, fed any bytes as the server's markers:
// every marker, list reader, message reader and sound path runs on them.
// Nothing may crash or read out of bounds, memory stays bounded, the link
// always comes down, and no exception outside the program's own classes
// reaches the thread's loop.
//
// Input: byte 0 picks the server's extension flags (bits 0-4), bit 5 a
// channel request after login, bit 6 the receive alignment; the rest is the
// server's stream after the networks list.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/setup_data.h"
#include "net/conn.h"
#include "net/link_attr.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/server.h"
#include "station/gsmprocessor.h"

namespace {

// The server's side as a byte stream handed out in uneven pieces; the peer
// closes at the end. Waits never block except the thread's idle wait, which
// a wake-up ends.
class StreamConnection : public TVEKConnection {
 public:
  explicit StreamConnection(std::string stream) : TVEKConnection(false), stream_(std::move(stream)) {}

  bool IsActive() override { return !closed_; }
  bool IsConnected() override { return !closed_; }
  std::uint8_t ReadRaw(void* buffer, std::int32_t length, std::int32_t& count) override {
    count = 0;
    if (closed_) return VEK_RAW_ERROR;
    if (pos_ >= stream_.size()) return VEK_RAW_CLOSED;
    seed_ = seed_ * 6364136223846793005ULL + 1442695040888963407ULL;
    std::size_t n = 1 + (seed_ >> 33) % 97;
    n = std::min({n, stream_.size() - pos_, static_cast<std::size_t>(length)});
    std::memcpy(buffer, stream_.data() + pos_, n);
    pos_ += n;
    count = static_cast<std::int32_t>(n);
    return VEK_RAW_DONE;
  }
  std::uint8_t WriteRaw(const void*, std::int32_t length, std::int32_t& count) override {
    count = length;
    return closed_ ? VEK_RAW_CLOSED : VEK_RAW_DONE;
  }
  void DoClose() override {
    closed_ = true;
    Reset();
  }
  void Connect() override {
    DoReset();
    if (OnConnected) OnConnected();
  }
  TWaiterResult DoWaitWakeup(std::uint32_t ms) override {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait_for(g, std::chrono::milliseconds(std::min<std::uint32_t>(ms, 50)), [&] { return woken_; });
    if (!woken_) return wr_Timeout;
    woken_ = false;
    return wr_Interrupt;
  }
  TWaiterResult DoWaitReadable(std::uint32_t) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (woken_) {
        woken_ = false;
        return wr_Interrupt;
      }
    }
    return pos_ < stream_.size() || recv_pos_ < recv_fill_ ? wr_Descriptor : wr_Timeout;
  }
  TWaiterResult DoWaitWritable(std::uint32_t) override { return wr_Descriptor; }
  void DoWakeup() override {
    std::lock_guard<std::mutex> g(mu_);
    woken_ = true;
    cv_.notify_all();
  }
  void DoClearWakeup() override {
    std::lock_guard<std::mutex> g(mu_);
    woken_ = false;
  }

  bool AtEnd() const { return pos_ >= stream_.size(); }

 private:
  std::string stream_;
  std::size_t pos_ = 0;
  std::uint64_t seed_ = 0x9E3779B97F4A7C15ULL;
  bool closed_ = false;
  std::mutex mu_;
  std::condition_variable cv_;
  bool woken_ = false;
};

struct Rig {
  TDaxPoolBuffers pool{640, 1050};
  TDaxBufferPtr captured{1050, 4};
  TVEKQueueFlat queue{2400, &pool};
  TVEKInternetParameters internet;
  TVEKServerParameters server;
  TVEKAudioParams audio;
  TVEKServer entry;
  TVEKLinkAttr link;
  Rig() { pool.Fill(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  std::string stream = "2014004\r\n<SV>2014000</SV><AL>OK</AL><MT>hi</MT><SEF>" +
                       std::to_string(control & 0x1F) + "</SEF><BN>b.example</BN><BP>7000</BP>\r\n" +
                       std::string("\x05") + "1\r\nTest\r\n";
  stream.append(reinterpret_cast<const char*>(data + 1), size - 1);

  Rig rig;
  rig.server.RxAlignEnabled = (control & 0x40) != 0;
  rig.server.RxAlignTime = 600;
  TVEKAccount account;
  VekDefaultAccount(account);
  TVEKLoginInfo info(account);
  rig.link.SetLoginInfo(&info);
  rig.link.SetServer(&rig.entry);

  auto conn = std::make_unique<StreamConnection>(stream);
  StreamConnection* raw = conn.get();
  TVEKProtocol proto(&rig.captured, &rig.pool, &rig.queue, rig.internet, rig.server, nullptr, rig.audio,
                     std::move(conn));
  proto.SetLinkAttr(&rig.link);
  std::mutex mu;
  std::condition_variable cv;
  bool down = false;
  auto linkDown = [&] {
    std::lock_guard<std::mutex> g(mu);
    down = true;
    cv.notify_all();
  };
  proto.OnThreadError = [&](const std::u16string& text) {
    if (text.find(u"std::exception") != std::u16string::npos) std::abort();
    linkDown();
  };
  proto.OnDisconnected = linkDown;
  proto.OnPeerDisconnected = linkDown;
  proto.OnServerConnectError = [&](const std::u16string&) { linkDown(); };
  proto.OnPoolUnderflow = [] {};
  proto.OnInitiated = [&] {
    proto.EnableReceive();
    if (control & 0x20) {
      // Captured voice made from the input itself.
      TGSM49Processor voice;
      std::uint8_t block[65] = {};
      std::memcpy(block, data + 1, std::min<std::size_t>(size - 1, sizeof block));
      for (int i = 0; i < 7; ++i) {
        void* pcm = rig.pool.Buffers().PopOne();
        voice.Decode(block, static_cast<std::int16_t*>(pcm));
        rig.captured.PushOne(pcm);
      }
      proto.RequestTX();
    }
  };
  // The engine's consumer: play blocks go back to the pool as they come.
  proto.OnPlayData = [&] { rig.queue.Skip(TVEKQueueFlat::kSkipBatch); };
  proto.TargetHost = u"127.0.0.1";
  proto.TargetPort = 1;
  proto.RequestConnect();
  {
    std::unique_lock<std::mutex> g(mu);
    // The link must come down on its own: a hang is a fault.
    if (!cv.wait_for(g, std::chrono::seconds(20), [&] { return down; })) std::abort();
  }
  (void)raw;
  proto.Stop();
  proto.WaitFor();
  rig.queue.Clear();
  rig.pool.Buffers().MoveAllFrom(rig.captured);
  return 0;
}

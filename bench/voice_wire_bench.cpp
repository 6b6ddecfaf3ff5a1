// Voice on the wire, measured on loopback against a minimal server of its own.
//
// Transmit: a feeder captures one block every 40 ms for VEK_BENCH_SECONDS
// (default 60) seconds; the server time-stamps every packet. Reported: p50
// and p99 of the packets' offset from the 200-ms (or 40-ms, short frames)
// grid, the drift of audio sent against wall time at the end, and the
// catch-up after the protocol thread is stalled once for 300 ms.
//
// Receive: sound markers pushed as fast as loopback allows; reported are
// packets per second including their acknowledgements and the process CPU
// per packet.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/setup_data.h"
#include "net/conn_mk.h"
#include "net/link_attr.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/server.h"
#include "station/gsmprocessor.h"
#include "support/loopback_listener.h"
#include "support/proto_rig.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int BenchSeconds() {
  const char* v = std::getenv("VEK_BENCH_SECONDS");
  const int s = v ? std::atoi(v) : 60;
  return s > 0 ? s : 60;
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One client, one session: the login, then either approving the channel and
// time-stamping packets, or pushing a prepared marker stream and counting the
// acknowledgements.
class WireServer {
 public:
  WireServer(uint32_t sef, std::string push, int expectAcks)
      : sef_(sef), push_(std::move(push)), expect_acks_(expectAcks) {
    listener_.Start([this](int c) { Serve(c); });
  }
  ~WireServer() {
    listener_.Stop();
    if (writer_.joinable()) writer_.join();
  }
  uint16_t Port() const { return listener_.Port(); }
  std::vector<Clock::time_point> Packets() {
    std::lock_guard<std::mutex> g(mu_);
    return packets_;
  }
  Clock::time_point PushStart() const { return push_start_; }
  Clock::time_point AcksDone() const { return acks_done_; }
  bool Done() const { return done_; }

 private:
  bool WaitReadable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      const int r = poll(&p, 1, 50);
      if (r > 0) return true;
      if (r < 0) return false;
    }
    return false;
  }
  void SendAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size() && !stop_) {
      const ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<size_t>(n);
    }
  }
  void Serve(int c) {
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string in;
    char buf[65536];
    int stage = 0;  // 0 login line, 1 RX state, 2 networks ack, 3 working
    int acks = 0;
    while (!stop_ && WaitReadable(c)) {
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, static_cast<size_t>(n));
      for (;;) {
        if (in.rfind("TX1\r\n", 0) == 0 || in.rfind("TX8\r\n", 0) == 0) {
          const size_t want = in[2] == '1' ? 330 : 70;
          if (in.size() < want) break;
          {
            std::lock_guard<std::mutex> g(mu_);
            packets_.push_back(Clock::now());
          }
          in.erase(0, want);
          continue;
        }
        const size_t lf = in.find('\n');
        if (lf == std::string::npos) break;
        std::string line = in.substr(0, lf);
        in.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (stage == 0) {
          SendAll(c, "2014004\r\n<SV>2014000</SV><AL>OK</AL><MT>bench</MT><SEF>" + std::to_string(sef_) +
                         "</SEF>\r\n");
          stage = 1;
        } else if (stage == 1 && line == "RX0") {
          SendAll(c, std::string("\x05") + "1\r\nBench\r\n");
          stage = 2;
        } else if (stage == 2 && line == "P") {
          stage = 3;
          if (!push_.empty()) {
            push_start_ = Clock::now();
            writer_ = std::thread([this, c] { SendAll(c, push_); });
          }
        } else if (stage == 3 && line == "TX0") {
          SendAll(c, std::string("\x01\x00\x00", 3));
        } else if (stage == 3 && line == "P" && ++acks == expect_acks_) {
          acks_done_ = Clock::now();
          done_ = true;
        }
      }
    }
    if (writer_.joinable()) writer_.join();
    close(c);
  }

  uint32_t sef_;
  std::string push_;
  int expect_acks_;
  std::atomic<bool> done_{false};
  std::thread writer_;
  std::mutex mu_;
  std::vector<Clock::time_point> packets_;
  Clock::time_point push_start_{};
  Clock::time_point acks_done_{};
  vektest::LoopbackListener listener_{0, 1};
  const std::atomic<bool>& stop_ = listener_.StopFlag();
};

struct Client : vektest::ProtoRig {
  explicit Client(uint16_t port) {
    Start();
    proto->OnInitiated = [this] {
      proto->EnableReceive();
      initiated = true;
    };
    proto->OnTxApproved = [this] { approved = true; };
    proto->OnTxDataEnded = [this] { ended = true; };
    proto->OnPoolUnderflow = [] {};
    proto->TargetHost = u"127.0.0.1";
    proto->TargetPort = port;
    proto->TargetUseProxy = VEK_USE_PROXY_NEVER;
    proto->TargetNetwork = u"Bench";
    proto->RequestConnect();
  }
  // The thread's callbacks set the flags below: stop it before they go.
  ~Client() { proto.reset(); }
  static bool WaitFlag(const std::atomic<bool>& f, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!f && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return f;
  }

  std::atomic<bool> initiated{false}, approved{false}, ended{false};
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
  return v[i];
}

void BM_TransmitPacing(benchmark::State& state) {
  const bool shortFrames = state.range(0) != 0;
  const double gridMs = shortFrames ? 40.0 : 200.0;
  const int seconds = BenchSeconds();
  for (auto _ : state) {
    WireServer srv(shortFrames ? 16 : 0, {}, 0);
    Client cl(srv.Port());
    if (!Client::WaitFlag(cl.initiated, 10000)) {
      state.SkipWithError("login failed");
      return;
    }
    // One stall of the protocol thread half-way through.
    std::atomic<bool> stallNow{false};
    cl.proto->OnAfterSend = [&] {
      if (stallNow.exchange(false)) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    std::vector<int16_t> pcm(320);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(8000 * std::sin(0.3 * static_cast<double>(i)));
    cl.proto->RequestTX();
    Client::WaitFlag(cl.approved, 5000);
    const auto start = Clock::now();
    const int blocks = seconds * 25;
    Clock::time_point stallAt{};
    for (int i = 0; i < blocks; ++i) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(40 * i));
      void* b = cl.pool.Buffers().PopOne();
      std::memcpy(b, pcm.data(), 640);
      cl.captured.PushOne(b);
      if (i == blocks / 2) {
        stallAt = Clock::now();
        stallNow = true;
      }
    }
    cl.proto->TxDataState = 1;
    Client::WaitFlag(cl.ended, 5000);
    cl.proto->RequestStopTX();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto packets = srv.Packets();
    if (packets.size() < 10) {
      state.SkipWithError("too few packets");
      return;
    }
    std::vector<double> offsets;
    const auto t0 = packets.front();
    for (size_t i = 0; i < packets.size(); ++i) offsets.push_back(Ms(packets[i] - t0) - gridMs * static_cast<double>(i));
    std::vector<double> jitter;
    for (size_t i = 1; i < offsets.size(); ++i) jitter.push_back(std::fabs(offsets[i] - offsets[i - 1]));
    // Catch-up: packets after the stall until the offset is back within one
    // 40-ms slot of where it was before.
    size_t s = 0;
    while (s < packets.size() && packets[s] < stallAt) ++s;
    const double before = s > 0 ? offsets[s - 1] : 0;
    double worst = 0;
    size_t back = s;
    for (; back < offsets.size(); ++back) {
      worst = std::max(worst, offsets[back] - before);
      if (back > s && std::fabs(offsets[back] - before) < 40.0) break;
    }
    state.counters["packets"] = static_cast<double>(packets.size());
    state.counters["jitter_p50_ms"] = Percentile(jitter, 0.5);
    state.counters["jitter_p99_ms"] = Percentile(jitter, 0.99);
    state.counters["grid_offset_p99_ms"] = Percentile(offsets, 0.99);
    state.counters["drift_ms"] = offsets.back();
    state.counters["stall_peak_ms"] = worst;
    state.counters["catchup_packets"] = static_cast<double>(back - s);
  }
}
BENCHMARK(BM_TransmitPacing)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_ReceiveMarkers(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  TGSM49Processor enc;
  std::vector<int16_t> pcm(320);
  std::string stream;
  for (int p = 0; p < n; ++p) {
    stream += '\x02';
    stream += '\x00';
    stream += '\x01';
    for (int b = 0; b < 5; ++b) {
      for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(6000 * std::sin(0.05 * static_cast<double>(i + 320 * (5 * p + b))));
      uint8_t block[65];
      enc.Encode(pcm.data(), block);
      stream.append(reinterpret_cast<const char*>(block), 65);
    }
  }
  for (auto _ : state) {
    WireServer srv(0, stream, n);
    Client cl(srv.Port());
    // The engine's side: take the played blocks back as they come.
    std::atomic<bool> stop{false};
    std::thread consumer([&] {
      while (!stop) {
        if (cl.queue.Skip(TVEKQueueFlat::kSkipBatch) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    if (!Client::WaitFlag(cl.initiated, 10000)) {
      stop = true;
      consumer.join();
      state.SkipWithError("login failed");
      return;
    }
    const double cpu0 = CpuSeconds();
    const auto end = Clock::now() + std::chrono::seconds(60);
    while (!srv.Done() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double cpu = CpuSeconds() - cpu0;
    stop = true;
    consumer.join();
    if (!srv.Done()) {
      state.SkipWithError("not every packet was acknowledged");
      return;
    }
    const double secs = Ms(srv.AcksDone() - srv.PushStart()) / 1000.0;
    state.counters["packets_per_s"] = static_cast<double>(n) / secs;
    state.counters["cpu_us_per_packet"] = cpu * 1e6 / static_cast<double>(n);
  }
}
BENCHMARK(BM_ReceiveMarkers)->Arg(20000)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

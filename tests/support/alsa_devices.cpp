#include "support/alsa_devices.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <stdexcept>

namespace {

constexpr const char* kNullSlave = "vektestnull";

std::string Quote(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') r += '\\';
    r += c;
  }
  return r + "\"";
}

// ALSA loads its plugin modules while PortAudio enumerates and unloads them
// at terminate; what they keep is then reported as leaks of an unknown
// module. Keeping the modules mapped lets the suppressions below name them.
void PinAlsaModules() {
  static bool done = false;
  if (done) return;
  done = true;
  glob_t g{};
  if (glob("/usr/lib/*/alsa-lib/libasound_module_*.so", 0, nullptr, &g) == 0) {
    for (size_t i = 0; i < g.gl_pathc; ++i)
      dlopen(g.gl_pathv[i], RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
  }
  globfree(&g);
}

}  // namespace

// Allocations the sound libraries keep for the process's lifetime.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libasound\n"
         "leak:libasound_module_\n"
         "leak:libjack\n"
         "leak:libpulse\n"
         "leak:libportaudio\n";
}

TAlsaTestDevices::TAlsaTestDevices() : dir_(std::filesystem::temp_directory_path().string()) {
  if (dir_.path().empty()) throw std::runtime_error("mkdtemp failed");
}

TAlsaTestDevices::~TAlsaTestDevices() = default;

void TAlsaTestDevices::AddCapture(const std::string& name, const std::string& source) {
  config_ += "pcm." + name + " { type file slave.pcm " + Quote(kNullSlave) + " infile " +
             Quote(source) + " file \"/dev/null\" format \"raw\" }\n";
}

void TAlsaTestDevices::AddPlayback(const std::string& name, const std::string& sink) {
  config_ += "pcm." + name + " { type file slave.pcm " + Quote(kNullSlave) + " file " +
             Quote(sink) + " format \"raw\" }\n";
}

void TAlsaTestDevices::Install() {
  std::string path = PathOf("asound.conf");
  {
    std::ofstream out(path, std::ios::trunc);
    out << config_ << "pcm." << kNullSlave << " { type null }\n";
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  std::string value = "/usr/share/alsa/alsa.conf:" + path;
  config_path_.Set(value);
  PinAlsaModules();
}

std::string TAlsaTestDevices::MakeFifo(const std::string& file) const {
  std::string path = PathOf(file);
  if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed: " + path);
  return path;
}

void TAlsaTestDevices::WriteRaw(const std::string& path, const std::vector<int16_t>& samples) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * 2));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<int16_t> TAlsaTestDevices::ReadRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                      (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  return samples;
}

std::vector<int16_t> TAlsaTestDevices::Sine(double seconds, double freq, int rate,
                                            double amplitude) {
  std::vector<int16_t> v(static_cast<size_t>(seconds * rate));
  for (size_t i = 0; i < v.size(); ++i)
    v[i] = static_cast<int16_t>(
        std::lround(amplitude * std::sin(2 * std::numbers::pi * freq * i / rate)));
  return v;
}

// ---------------------------------------------------------------------------

TFifoFeeder::TFifoFeeder(const std::string& fifo, std::vector<int16_t> samples, int rate,
                         int frames_per_write)
    : samples_(std::move(samples)), rate_(rate), frames_(frames_per_write) {
  read_fd_ = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  write_fd_ = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (read_fd_ < 0 || write_fd_ < 0) throw std::runtime_error("cannot open fifo " + fifo);
  // Room for a few buffers only (the kernel rounds up to whole pages).
  fcntl(write_fd_, F_SETPIPE_SZ, std::max(4096, 6 * frames_ * 2));
  thread_ = std::thread([this] { Run(); });
}

TFifoFeeder::~TFifoFeeder() {
  Stop();
  if (write_fd_ >= 0) close(write_fd_);
  if (read_fd_ >= 0) close(read_fd_);
}

void TFifoFeeder::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void TFifoFeeder::DiscardStale(size_t bytes_per_write) {
  // Two buffers in hand let every read find a whole one; beyond four the
  // reader is gone (capture closed), and the oldest whole buffers go.
  std::vector<char> sink(bytes_per_write);
  int queued = 0;
  while (ioctl(read_fd_, FIONREAD, &queued) == 0 &&
         static_cast<size_t>(queued) >= 4 * bytes_per_write) {
    size_t left = bytes_per_write;
    while (left > 0) {
      ssize_t r = read(read_fd_, sink.data(), left);
      if (r <= 0) return;
      left -= static_cast<size_t>(r);
    }
    ++discarded_;
  }
}

void TFifoFeeder::Run() {
  using clock = std::chrono::steady_clock;
  const auto period = std::chrono::microseconds(1000000LL * frames_ / rate_);
  std::vector<int16_t> buf(frames_);
  auto next = clock::now();
  size_t pos = 0;
  int ahead = 2;  // keep a buffer in hand, so every read finds a whole one
  while (!stop_) {
    size_t n = std::min<size_t>(frames_, samples_.size() > pos ? samples_.size() - pos : 0);
    std::fill(buf.begin(), buf.end(), 0);
    std::copy(samples_.begin() + pos, samples_.begin() + pos + n, buf.begin());
    DiscardStale(buf.size() * 2);
    const char* p = reinterpret_cast<const char*>(buf.data());
    size_t left = buf.size() * 2;
    while (left > 0 && !stop_) {
      ssize_t w = write(write_fd_, p, left);
      if (w > 0) {
        p += w;
        left -= static_cast<size_t>(w);
      } else {
        pollfd pfd{write_fd_, POLLOUT, 0};
        poll(&pfd, 1, 20);
      }
    }
    pos += n;
    written_ = pos;
    if (ahead > 0) {
      --ahead;
      continue;
    }
    next += period;
    while (!stop_ && clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// ---------------------------------------------------------------------------

TFifoDrainer::TFifoDrainer(const std::string& fifo, int rate) : rate_(rate) {
  fd_ = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open fifo " + fifo);
  fcntl(fd_, F_SETPIPE_SZ, 4096);
  thread_ = std::thread([this] { Run(); });
}

TFifoDrainer::~TFifoDrainer() {
  Stop();
  if (fd_ >= 0) close(fd_);
}

void TFifoDrainer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<int16_t> TFifoDrainer::Samples() const {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<int16_t> s(bytes_.size() / 2);
  for (size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<int16_t>(bytes_[2 * i] | (bytes_[2 * i + 1] << 8));
  return s;
}

bool TFifoDrainer::SampleTime(size_t index, TClock::time_point& at) const {
  std::lock_guard<std::mutex> g(lock_);
  const size_t byte = 2 * index + 1;
  auto it = std::upper_bound(reads_.begin(), reads_.end(), byte,
                             [](size_t b, const TRead& r) { return b < r.end; });
  if (it == reads_.end()) return false;
  at = it->at;
  return true;
}

void TFifoDrainer::Run() {
  const double bytes_per_second = rate_ * 2.0;
  // Read ahead by 20 ms only: with the pipe's own page that keeps a writer
  // within about a quarter second of real time at 8000 Hz.
  const size_t ahead = static_cast<size_t>(bytes_per_second / 50) & ~size_t{1};
  TClock::time_point start{};
  size_t paced = 0;     // bytes read in this writer's session
  bool writer = false;  // a writer is connected (the last read was not EOF)
  uint8_t buf[4096];
  while (!stop_) {
    size_t want = sizeof buf;
    if (writer) {
      double elapsed = std::chrono::duration<double>(TClock::now() - start).count();
      size_t due = static_cast<size_t>(elapsed * bytes_per_second) + ahead;
      if (paced >= due) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      want = std::min(sizeof buf, due - paced);
    }
    ssize_t r = read(fd_, buf, want);
    if (r > 0) {
      const auto now = TClock::now();
      if (!writer) {
        // A new writer: its pacing starts now.
        writer = true;
        start = now;
        paced = 0;
        ++sessions_;
      }
      std::lock_guard<std::mutex> g(lock_);
      bytes_.insert(bytes_.end(), buf, buf + r);
      reads_.push_back({bytes_.size(), now});
      paced += static_cast<size_t>(r);
    } else if (r == 0) {
      writer = false;  // no writer (yet, or any more)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else {
      pollfd pfd{fd_, POLLIN, 0};
      poll(&pfd, 1, 10);
    }
  }
}

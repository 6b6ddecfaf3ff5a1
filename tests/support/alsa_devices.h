// Sound devices for tests on machines without a sound card: an ALSA
// configuration of the test's own defines "file" PCMs over a null slave, so
// that PortAudio's ALSA host API lists them, capture reads from a file or a
// named pipe and playback lands in one.
//
// ALSA reads its configuration when PortAudio initialises, so the devices
// must be installed before the code under test starts PortAudio; PortAudio's
// terminate drops the cached configuration, so a later start sees changes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/env_guard.h"
#include "support/test_files.h"

class TAlsaTestDevices {
 public:
  // Makes a fresh temporary folder for the configuration and the data files.
  TAlsaTestDevices();
  ~TAlsaTestDevices();
  TAlsaTestDevices(const TAlsaTestDevices&) = delete;
  TAlsaTestDevices& operator=(const TAlsaTestDevices&) = delete;

  // A PCM `name` whose capture reads raw signed 16-bit little-endian samples
  // from `source` (a file or a named pipe) at the stream's rate; its playback
  // goes to /dev/null. After the source's end capture reads zeros.
  void AddCapture(const std::string& name, const std::string& source);
  // A PCM `name` whose playback is written raw to `sink`.
  void AddPlayback(const std::string& name, const std::string& sink);
  // Writes the configuration and points ALSA_CONFIG_PATH at it (after the
  // system's own alsa.conf, without which enumeration fails).
  void Install();

  const std::string& Dir() const { return dir_.path(); }
  // A path inside the folder.
  std::string PathOf(const std::string& file) const { return dir_ / file; }
  // Makes a named pipe inside the folder; returns its path.
  std::string MakeFifo(const std::string& file) const;

  static void WriteRaw(const std::string& path, const std::vector<int16_t>& samples);
  static std::vector<int16_t> ReadRaw(const std::string& path);
  // amplitude x sin at `freq`, `seconds` long, rounded to 16 bits.
  static std::vector<int16_t> Sine(double seconds, double freq, int rate, double amplitude);

 private:
  vektest::TempDir dir_;
  std::string config_;
  vektest::EnvGuard config_path_{"ALSA_CONFIG_PATH"};
};

// Feeds a capture pipe at real-time pace: one capture buffer per write (the
// file plugin does not retry a short read), then zeros until stopped. It
// keeps a read end open itself, so neither side's open blocks, and reads
// from it what nobody took: while capture is closed the pipe holds only the
// last few buffers, never seconds of stale audio.
class TFifoFeeder {
 public:
  TFifoFeeder(const std::string& fifo, std::vector<int16_t> samples, int rate,
              int frames_per_write);
  ~TFifoFeeder();
  void Stop();
  // Samples of `samples` written so far (taken or discarded).
  size_t Written() const { return written_.load(); }
  // Buffers discarded because nobody read them in time.
  size_t Discarded() const { return discarded_.load(); }

 private:
  void Run();
  void DiscardStale(size_t bytes_per_write);
  int read_fd_ = -1;
  int write_fd_ = -1;
  std::vector<int16_t> samples_;
  int rate_;
  int frames_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> written_{0};
  std::atomic<size_t> discarded_{0};
  std::thread thread_;
};

// Drains a playback pipe at the stream's byte rate and keeps what it read.
// The pipe is shrunk so the writer stays within a fraction of a second of
// the reader. Pacing starts again with every writer (a playback stream
// opened anew), so time without a writer earns no credit; each read is
// time-stamped.
class TFifoDrainer {
 public:
  using TClock = std::chrono::steady_clock;

  TFifoDrainer(const std::string& fifo, int rate);
  ~TFifoDrainer();
  void Stop();
  std::vector<int16_t> Samples() const;
  // Writers seen so far (each open of the pipe for writing that wrote).
  int Sessions() const { return sessions_.load(); }
  // When the read that delivered sample `index` returned; false when that
  // sample has not been read yet.
  bool SampleTime(size_t index, TClock::time_point& at) const;

 private:
  struct TRead {
    size_t end;  // bytes read up to and including this read
    TClock::time_point at;
  };
  void Run();
  int fd_ = -1;
  int rate_;
  std::atomic<bool> stop_{false};
  std::atomic<int> sessions_{0};
  mutable std::mutex lock_;
  std::vector<uint8_t> bytes_;
  std::vector<TRead> reads_;
  std::thread thread_;
};

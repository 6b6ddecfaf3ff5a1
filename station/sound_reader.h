// The service-sound reader: a worker thread that turns a control sound (from
// its configured WAV file or a built-in sound) or a queue of external WAV
// files into 40-ms frames of 320 samples at 8000 Hz, in buffers of the
// engine's pool, ahead of playback. The engine asks through the request
// operations and takes the frames from the ring; everything else stays on
// the reader's thread and reaches the engine through the events.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/buffer_ptr.h"
#include "foundation/fifo_ts.h"
#include "foundation/pool_buffers.h"
#include "foundation/setup_data.h"
#include "foundation/thread.h"
#include "foundation/waiter2_bsd.h"
#include "station/wave_file.h"
#include "station/wave_file_gsm.h"
#include "station/wave_file_pcm.h"

class TVEKSoundReader : public TDaxThread {
 public:
  static constexpr int kRingCapacity = 75;  // 3 s of frames
  static constexpr int kRingDivisor = 4;    // marks at 19 and 56
  static constexpr int kFrameSamples = 320;
  static constexpr uint32_t kIdleWaitMs = 23000000;
  static constexpr uint32_t kStopReplyMs = 1000;

  enum : uint8_t { kModeIdle = 0, kModeControlSound = 1, kModeFiles = 2 };

  // The three records are referred to, not copied: they must outlive the
  // reader and stay unchanged while it runs.
  TVEKSoundReader(TDaxPoolBuffers* pool, const TVEKSystemParameters* system,
                  const TVEKSoundParameters* sounds);
  ~TVEKSoundReader() override;

  void Stop();

  bool IsSoundEnabled(int index) const;
  bool IsSoundDisabled(int index) const { return !IsSoundEnabled(index); }
  // The path of the file last used for that control sound; empty when the
  // built-in sound played (or it never played).
  std::u16string GetSoundName(int index) const;
  // The connect sound chosen for this connection (empty: the configured one).
  void SetConnectSoundFile(const std::u16string& name);
  std::u16string ConnectSoundFile() const;

  // Both raise Exception "SoundReader: busy" unless the reader is idle.
  void RequestFixedSound(int index);
  void RequestFiles();
  void AddFileName(const std::u16string& name) { waiting_files_.Push(name); }
  int FileCount() const { return waiting_files_.Count(); }

  void PauseReading() { pause_.store(true); }
  void ResumeReading();
  // Ends what plays, empties the ring and the queue; waits up to 1000 ms for
  // the reader to confirm. False when it did not in time.
  bool StopPlayback();

  int AvailableFrames() const { return ring_.Count(); }
  // Up to count frames, oldest first; the caller returns them to the pool.
  int ReadFrames(void** frames, int count) { return ring_.PopMany(frames, count); }
  bool PopStartedFileName(std::u16string& name) { return started_files_.Pop(name); }

  bool Started() const { return started_.load(); }
  uint8_t Mode() const { return mode_.load(); }
  // The sounds directory and the name resolved in it.
  std::u16string GetSoundPath(const std::u16string& name) const;

  // Pause after the pool ran out of buffers before the next try.
  std::atomic<uint32_t> UnderflowPauseMs{40};

  std::function<void(const std::u16string&)> OnSoundText;
  std::function<void(int)> OnFixedSoundStarted;
  std::function<void()> OnFileStarted;
  std::function<void()> OnFramesReady;
  std::function<void()> OnSoundFinished;

 protected:
  void Execute() override;

 private:
  // One pass of the loop; false when the thread is to end.
  bool Pass();
  void ProduceFrame(bool& wait, uint32_t& wait_ms);
  void ReadSound(int index);
  bool OpenControlFile(int index, const std::u16string& path);
  void OpenBuiltin(int index);
  bool NextFile();
  void FinishSound();
  void CloseCurrent();
  void ResetForSound();
  void HandleStop();
  void ReturnRing();
  void Text(const std::u16string& text);
  std::u16string ControlSoundName(int index) const;

  TDaxPoolBuffers* pool_;
  const TVEKSystemParameters* system_;
  const TVEKSoundParameters* sounds_;

  TWaiter2Socket cmd_waiter_{0};
  TWaiter2Socket reply_waiter_{0};
  TDaxBufferPtr ring_{kRingCapacity, kRingDivisor};
  TWaveFilePcm pcm_{8000};
  TWaveFileGsm gsm_;
  TVEKFileStream file_;
  std::unique_ptr<TMappedMemoryStream> builtin_[3];
  TFifoStringThreadSafeU waiting_files_{16};
  TFifoStringThreadSafeU started_files_{16};

  TDaxStream* current_stream_ = nullptr;
  TSoundReader* current_ = nullptr;
  int samples_per_block_ = 0;
  int blocks_per_frame_ = 0;

  std::atomic<bool> sound_request_{false};
  std::atomic<bool> files_request_{false};
  std::atomic<bool> resume_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> pause_{false};
  std::atomic<bool> ring_full_{false};
  std::mutex ring_full_lock_;
  std::atomic<uint32_t> stop_requested_{0};
  std::atomic<uint32_t> stop_served_{0};

  std::atomic<uint8_t> mode_{kModeIdle};
  std::atomic<int> sound_index_{0};
  std::atomic<bool> file_in_use_[VekControlSoundCount] = {};
  std::atomic<bool> started_{false};

  mutable std::mutex connect_lock_;
  std::u16string connect_file_;
};

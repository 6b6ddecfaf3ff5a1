// Pieces the engine benchmarks share.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "engine/mngr.h"
#include "station/paudio.h"

// Owner callbacks that empty the engine's text FIFOs, so that an engine
// left running does not collect texts without end.
inline void BenchDrainEngineTexts(TVEKManager& e) {
  auto drain = [&e](bool (TVEKManager::*pop)(std::u16string&)) {
    return [&e, pop] {
      std::u16string t;
      while ((e.*pop)(t)) {
      }
    };
  };
  e.OnErrorText = drain(&TVEKManager::PopErrorText);
  e.OnInfoText = drain(&TVEKManager::PopInfoText);
  e.OnWarningText = drain(&TVEKManager::PopWarningText);
}

// A fake sound-card stream at 8000 Hz. A subclass's reads and writes call
// Pace, so that they take the wall time their samples last, like a card.
class BenchPacedStream : public TVEKAudioStreamApi {
 public:
  using Clock = std::chrono::steady_clock;

  double DeviceLatency(PaDeviceIndex, bool) override { return 0.02; }
  PaStream* Open(const PaStreamParameters&, bool capture, double, unsigned long) override {
    next_ = Clock::now();
    return reinterpret_cast<PaStream*>(capture ? &in_ : &out_);
  }
  double StreamLatency(PaStream*, bool) override { return 0.03; }
  void Start(PaStream*) override {}
  PaError Stop(PaStream*) override { return paNoError; }
  PaError Abort(PaStream*) override { return paNoError; }
  PaError Close(PaStream*) override { return paNoError; }
  uint32_t TickMs() override {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
  }

 protected:
  void Pace(unsigned long frames) {
    next_ += std::chrono::microseconds(frames * 125);
    std::this_thread::sleep_until(next_);
  }

 private:
  int in_ = 0, out_ = 0;
  Clock::time_point next_;
};

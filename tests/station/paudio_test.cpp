#include "station/paudio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <numbers>
#include <thread>

#include "foundation/types.h"
#include "support/alsa_devices.h"
#include "support/case_name.h"
#include "support/sine_fit.h"
#include "support/test_files.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kWait{vektest::kPeerWaitMs};

// Waits until `cond` holds.
template <typename F>
bool Eventually(F cond) {
  return vektest::WaitUntil(cond);
}

// A stream that the test paces: every read and write waits for permission,
// results can be scripted, and the clock is the test's.
class FakeStreams : public TVEKAudioStreamApi {
 public:
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    int allowed_io = 0;    // reads or writes the test permits
    bool free_run = false; // permit everything (shutdown)
    bool gate_open = false;  // Open waits while this is set
    int entered_io = 0;
    int opens = 0, starts = 0, aborts = 0, stops = 0, closes = 0;
    std::deque<PaError> io_results;  // next results of Read/Write
    std::deque<std::string> open_errors;  // "" = success
    std::vector<std::vector<int16_t>> writes;
    std::function<void(int16_t*, unsigned long)> source;  // capture data
    std::atomic<uint32_t> now{1000};
    int abort_sleep_ms = 0;
    // A card that is gone: every read or write gives io_fail, every open
    // raises refuse_opens (when set and nothing else is scripted).
    PaError io_fail = paNoError;
    std::string refuse_opens;
    int io_failures = 0, open_failures = 0;
    std::vector<uint32_t> open_times;  // the clock at each open
    int waits = 0;                     // the thread's waits for a retry
  };
  explicit FakeStreams(std::shared_ptr<Shared> s) : s_(std::move(s)) {}

  double DeviceLatency(PaDeviceIndex, bool) override { return 0.02; }
  PaStream* Open(const PaStreamParameters&, bool, double, unsigned long) override {
    std::unique_lock<std::mutex> g(s_->m);
    s_->cv.wait(g, [&] { return !s_->gate_open || s_->free_run; });
    ++s_->opens;
    s_->open_times.push_back(s_->now.load());
    s_->cv.notify_all();
    std::string e = s_->refuse_opens;
    if (!s_->open_errors.empty()) {
      e = s_->open_errors.front();
      s_->open_errors.pop_front();
    }
    if (!e.empty()) {
      ++s_->open_failures;
      throw EPortAudioException(e);
    }
    return reinterpret_cast<PaStream*>(&stream_);
  }
  double StreamLatency(PaStream*, bool) override { return 0.03; }
  void Start(PaStream*) override { Count(&Shared::starts); }
  PaError Stop(PaStream*) override { Count(&Shared::stops); return paNoError; }
  PaError Abort(PaStream*) override {
    if (s_->abort_sleep_ms) std::this_thread::sleep_for(std::chrono::milliseconds(s_->abort_sleep_ms));
    Count(&Shared::aborts);
    return paNoError;
  }
  PaError Close(PaStream*) override { Count(&Shared::closes); return paNoError; }
  PaError Read(PaStream*, int16_t* buffer, unsigned long frames) override {
    PaError rc = Io();
    if (s_->source) s_->source(buffer, frames);
    return rc;
  }
  PaError Write(PaStream*, const int16_t* buffer, unsigned long frames) override {
    PaError rc = Io();
    std::lock_guard<std::mutex> g(s_->m);
    if (s_->writes.size() < 1000) s_->writes.emplace_back(buffer, buffer + frames);
    s_->cv.notify_all();
    return rc;
  }
  uint32_t TickMs() override { return s_->now.load(); }
  // Short real waits, so that the thread sees the test's clock move.
  void Wait(TWaiter2Socket& waiter, uint32_t ms) override {
    Count(&Shared::waits);
    waiter.WaitOne(std::min(ms, 1u));
  }

 private:
  void Count(int Shared::*field) {
    std::lock_guard<std::mutex> g(s_->m);
    ++(s_.get()->*field);
    s_->cv.notify_all();
  }
  PaError Io() {
    std::unique_lock<std::mutex> g(s_->m);
    ++s_->entered_io;
    s_->cv.notify_all();
    s_->cv.wait(g, [&] { return s_->allowed_io > 0 || s_->free_run; });
    if (s_->allowed_io > 0) --s_->allowed_io;
    PaError rc = s_->io_fail;
    if (!s_->io_results.empty()) {
      rc = s_->io_results.front();
      s_->io_results.pop_front();
    }
    if (rc != paNoError && rc != paInputOverflowed && rc != paOutputUnderflowed) ++s_->io_failures;
    return rc;
  }
  std::shared_ptr<Shared> s_;
  int stream_ = 0;
};

// Shared by both suites: test ALSA devices for the device lookups.
class AudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture_file_ = alsa_.PathOf("in.raw");
    play_file_ = alsa_.PathOf("out.raw");
    TAlsaTestDevices::WriteRaw(capture_file_, {});
    alsa_.AddCapture("vekcap", capture_file_);
    alsa_.AddPlayback("vekplay", play_file_);
    alsa_.Install();
    rt_ = std::make_unique<TVEKAudioRT>();
    settings_.InDevice = u"ALSA:vekcap";
    settings_.OutDevice = u"ALSA:vekplay";
  }
  void TearDown() override {
    if (fake_) {
      std::lock_guard<std::mutex> g(fake_->m);
      fake_->free_run = true;
      fake_->cv.notify_all();
    }
    pa_.reset();
    pool_.reset();
    rt_.reset();
  }

  void MakePool(int blocks) {
    pool_ = std::make_unique<TDaxPoolBuffers>(640, blocks);
    pool_->Fill();
  }
  // Creates the thread; with `fake` it runs on FakeStreams.
  void Make(bool fake, int pool_blocks = 1050) {
    MakePool(pool_blocks);
    std::unique_ptr<TVEKAudioStreamApi> api;
    if (fake) {
      fake_ = std::make_shared<FakeStreams::Shared>();
      api = std::make_unique<FakeStreams>(fake_);
    }
    pa_ = std::make_unique<TVEKAudioPA>(
        rt_.get(), pool_.get(), settings_,
        [this](TVEKAudioPA* p) {
          p->OnErrorText = [this](const std::u16string& t) {
            std::lock_guard<std::mutex> g(log_lock_);
            errors_.push_back(t);
          };
          p->OnWarningText = [this](const std::u16string& t) {
            std::lock_guard<std::mutex> g(log_lock_);
            warnings_.push_back(t);
            events_.push_back(u"warning");
          };
          p->OnInfoText = [this](const std::u16string& t) {
            std::lock_guard<std::mutex> g(log_lock_);
            infos_.push_back(t);
          };
          p->OnHardwareFailure = [this] {
            std::lock_guard<std::mutex> g(log_lock_);
            events_.push_back(u"hardware");
          };
          p->OnPlayLevel = [this, p] {
            std::lock_guard<std::mutex> g(log_lock_);
            play_levels_.push_back(p->LevelWord());
          };
          p->OnCaptureLevel = [this, p] {
            std::lock_guard<std::mutex> g(log_lock_);
            capt_levels_.push_back(p->LevelWord());
            if (on_capture_) on_capture_(p);
          };
          p->OnPoolUnderflow = [this] { ++pool_underflows_; };
        },
        std::move(api));
    ASSERT_TRUE(Eventually([&] { return pa_->Started(); }));
  }

  void Allow(int n) {
    std::lock_guard<std::mutex> g(fake_->m);
    fake_->allowed_io += n;
    fake_->cv.notify_all();
  }
  // Lets every further read and write through.
  void FreeRun() {
    std::lock_guard<std::mutex> g(fake_->m);
    fake_->free_run = true;
    fake_->cv.notify_all();
  }
  // Waits until the thread sits in its n-th read or write.
  void WaitEntered(int n) {
    std::unique_lock<std::mutex> g(fake_->m);
    ASSERT_TRUE(fake_->cv.wait_for(g, kWait, [&] { return fake_->entered_io >= n; }));
  }
  void WaitWrites(size_t n) {
    std::unique_lock<std::mutex> g(fake_->m);
    ASSERT_TRUE(fake_->cv.wait_for(g, kWait, [&] { return fake_->writes.size() >= n; }));
  }
  // Takes `n` blocks from the pool, sample value `base + i` in block i.
  std::vector<void*> Blocks(int n, int16_t base = 100) {
    std::vector<void*> b(n);
    EXPECT_EQ(pool_->Buffers().PopMany(b.data(), n), n);
    for (int i = 0; i < n; ++i) {
      auto* s = static_cast<int16_t*>(b[i]);
      std::fill(s, s + 320, static_cast<int16_t>(base + i));
    }
    return b;
  }
  std::vector<std::u16string> Errors() {
    std::lock_guard<std::mutex> g(log_lock_);
    return errors_;
  }
  std::vector<uint32_t> PlayLevels() {
    std::lock_guard<std::mutex> g(log_lock_);
    return play_levels_;
  }

  TAlsaTestDevices alsa_;
  std::string capture_file_, play_file_;
  std::unique_ptr<TVEKAudioRT> rt_;
  std::unique_ptr<TDaxPoolBuffers> pool_;
  TVEKAudioPASettings settings_;
  std::shared_ptr<FakeStreams::Shared> fake_;
  std::unique_ptr<TVEKAudioPA> pa_;
  std::mutex log_lock_;
  std::vector<std::u16string> errors_, warnings_, events_, infos_;
  std::vector<uint32_t> play_levels_, capt_levels_;
  std::function<void(TVEKAudioPA*)> on_capture_;
  std::atomic<int> pool_underflows_{0};
};

TEST_F(AudioTest, SettersAndCountConversions) {
  settings_.OutFactor = 9;  // clamps to 5
  settings_.InFactor = -3;  // 2
  settings_.InPreCapturedTime = 5000;
  settings_.OutBufferLimitTime = -1;
  settings_.MeterMode = 7;
  Make(true);
  EXPECT_EQ(pa_->OutFactor(), 5);
  EXPECT_EQ(pa_->InFactor(), 2);
  EXPECT_EQ(VekAudioFactor(0), 1);
  EXPECT_EQ(pa_->PreRollBlocks(), 25);    // 1000 ms
  EXPECT_EQ(pa_->PlayLimitBlocks(), 30);  // 1200 ms
  pa_->SetPreRollMs(500);
  EXPECT_EQ(pa_->PreRollBlocks(), 13);
  pa_->SetPreRollMs(-5);
  EXPECT_EQ(pa_->PreRollBlocks(), 0);
  pa_->SetPlayLimitMs(0);
  EXPECT_EQ(pa_->PlayLimitBlocks(), 0);
  pa_->SetPlayLimitMs(59);
  EXPECT_EQ(pa_->PlayLimitBlocks(), 1);
  // B = 200 ms per play buffer.
  EXPECT_EQ(pa_->PlayMsToBuffers(99), 0);
  EXPECT_EQ(pa_->PlayMsToBuffers(100), 1);
  EXPECT_EQ(pa_->RoundToPlayBufferMs(500), 600);
  EXPECT_EQ(pa_->PlayBuffersToMs(3), 600);
  EXPECT_EQ(pa_->CaptBuffersToMs(3), 240);
  char tone;
  EXPECT_FALSE(pa_->PopDtmfTone(tone));
}

TEST_F(AudioTest, OperationsInTheWrongModeReportAndReturnBlocks) {
  Make(true);
  const int full = pool_->Buffers().Count();
  struct Case {
    TVEKAudioMode mode;
    std::function<void()> op;
    const char16_t* error;  // nullptr: none
  };
  void* block = nullptr;
  auto play_one = [&] {
    block = pool_->Buffers().PopOne();
    pa_->PlayPCMArray(&block, 1);
  };
  std::vector<Case> cases = {
      {AMODE_STOP, [&] { pa_->CaptStop(); }, nullptr},
      {AMODE_STOP, [&] { pa_->PlayStop(); }, nullptr},
      {AMODE_STOP, play_one, u"PlayPCMArray: mode is STOP; must be PLAY"},
      {AMODE_PLAY, [&] { pa_->CaptStart(); }, u"CaptStart: mode is PLAY; must be STOP or CAPT_BACK"},
      {AMODE_PLAY, [&] { pa_->CaptStartBack(); }, u"CaptStartBack: mode is PLAY; must be STOP or CAPT"},
      {AMODE_PLAY, [&] { pa_->CaptStop(); }, u"CaptStop: mode is PLAY; must be CAPT or CAPT_BACK"},
      {AMODE_PLAY, [&] { pa_->PlayStart(0, 0); }, u"PlayStart: mode is PLAY; must be STOP"},
      {AMODE_CAPT, [&] { pa_->PlayStop(); }, u"PlayStop: mode is CAPT; must be PLAY"},
      {AMODE_CAPT, play_one, u"PlayPCMArray: mode is CAPT; must be PLAY"},
      {AMODE_CAPT_BACK, [&] { pa_->PlayStart(0, 0); }, u"PlayStart: mode is CAPT_BACK; must be STOP"},
      {AMODE_CAPT, [&] { pa_->CaptStart(); }, nullptr},
      {AMODE_CAPT_BACK, [&] { pa_->CaptStartBack(); }, nullptr},
  };
  Allow(1000000);
  for (const auto& c : cases) {
    pa_->StopCurrent();
    if (c.mode == AMODE_PLAY) pa_->PlayStart(0, 0);
    if (c.mode == AMODE_CAPT) pa_->CaptStart();
    if (c.mode == AMODE_CAPT_BACK) pa_->CaptStartBack();
    ASSERT_EQ(pa_->Mode(), c.mode);
    size_t before = Errors().size();
    c.op();
    auto errors = Errors();
    SCOPED_TRACE(c.error ? std::string(c.error, c.error + std::char_traits<char16_t>::length(c.error)) : "none");
    if (c.error) {
      ASSERT_EQ(errors.size(), before + 1);
      EXPECT_EQ(errors.back(), c.error);
    } else {
      EXPECT_EQ(errors.size(), before);
    }
    EXPECT_EQ(pa_->Mode(), c.mode);
  }
  pa_->StopCurrent();
  EXPECT_EQ(pa_->Mode(), AMODE_STOP);
  EXPECT_EQ(pa_->QueueCount(), 0);
  EXPECT_EQ(pool_->Buffers().Count(), full);
}

TEST_F(AudioTest, MissingDevicesAreReportedByKind) {
  struct Case {
    std::u16string in, out;
    const char16_t* capt_error;
    const char16_t* play_error;
  } cases[] = {
      {u"", u"", u"Capture(input) audio device not specified", u"Playback(output) audio device not specified"},
      {u"ALSA:none", u"my card", u"Capture(input) audio device not found: ALSA:none",
       u"Playback(output) audio device not found: \"my card\""},
      // Surrounding blanks are trimmed for the second lookup.
      {u"  ALSA:vekcap\t", u" ALSA:vekplay ", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    settings_.InDevice = c.in;
    settings_.OutDevice = c.out;
    pa_.reset();
    errors_.clear();
    Make(true);
    Allow(1000000);
    pa_->CaptStartBack();
    EXPECT_EQ(pa_->Mode(), AMODE_CAPT_BACK);
    pa_->CaptStop();
    pa_->PlayStart(0, 0);
    EXPECT_EQ(pa_->Mode(), AMODE_PLAY);
    pa_->PlayStop();
    std::vector<std::u16string> want;
    if (c.capt_error) want.push_back(c.capt_error);
    if (c.play_error) want.push_back(c.play_error);
    EXPECT_EQ(Errors(), want);
    std::lock_guard<std::mutex> g(fake_->m);
    EXPECT_EQ(fake_->opens, c.capt_error ? 0 : 2);
    fake_->free_run = true;
    fake_->cv.notify_all();
  }
}

TEST_F(AudioTest, BackgroundCaptureKeepsTwentyFiveBlocksAndCaptureAddsOnTop) {
  settings_.InFactor = 2;
  Make(true);
  fake_->source = [](int16_t* b, unsigned long n) {
    for (unsigned long i = 0; i < n; ++i) b[i] = static_cast<int16_t>(i % 2 ? -1234 : 1000);
  };
  pa_->CaptStartBack();
  ASSERT_EQ(pa_->Mode(), AMODE_CAPT_BACK);
  Allow(40);
  WaitEntered(41);
  EXPECT_EQ(pa_->QueueCount(), 25);
  EXPECT_EQ(pa_->LevelWord(), 1234u);  // peak

  std::vector<int> counts;  // at each capture-level event
  on_capture_ = [&](TVEKAudioPA* p) { counts.push_back(p->QueueCount()); };
  pa_->CaptStart();  // keeps the stream
  EXPECT_EQ(pa_->Mode(), AMODE_CAPT);
  Allow(3);
  WaitEntered(44);
  // Trimmed to 25 before each read, then one buffer of two blocks on top.
  EXPECT_EQ(counts, (std::vector<int>{27, 27, 27}));
  on_capture_ = nullptr;
  EXPECT_EQ(pa_->QueueCount(), 25);
  EXPECT_EQ(pa_->LevelWord(), 1234u | kLevelPlayEmpty);
  {
    std::lock_guard<std::mutex> g(fake_->m);
    EXPECT_EQ(fake_->opens, 1);
  }
  pa_->SetPreRollMs(500);
  EXPECT_EQ(pa_->TrimCaptureQueue(), 25 - 13);
  EXPECT_EQ(pa_->QueueCount(), 13);
  pa_->SetPreRollMs(0);
  EXPECT_EQ(pa_->TrimCaptureQueue(), 13);
  EXPECT_EQ(pa_->QueueCount(), 0);

  pa_->SetLevelMode(1);  // RMS
  Allow(1);
  WaitEntered(45);
  EXPECT_EQ(pa_->LevelWord(), static_cast<uint32_t>(DaxLevelRms(
                                  std::vector<int16_t>{1000, -1234}.data(), 2)) | kLevelPlayEmpty);

  FreeRun();
  pa_->CaptStop();
  EXPECT_EQ(pa_->Mode(), AMODE_STOP);
  EXPECT_EQ(pa_->QueueCount(), 0);
  EXPECT_EQ(pool_->Buffers().Count(), 1050);
  std::lock_guard<std::mutex> g(fake_->m);
  EXPECT_EQ(fake_->stops, 1);
  EXPECT_EQ(fake_->closes, 1);
}

TEST_F(AudioTest, ReadErrorReopensCaptureAndOverflowsWarnEverySecond) {
  Make(true);
  fake_->io_results = {paTimedOut, paInputOverflowed, paInputOverflowed, paInputOverflowed};
  pa_->CaptStartBack();
  Allow(4);
  WaitEntered(5);
  {
    std::lock_guard<std::mutex> g(fake_->m);
    EXPECT_EQ(fake_->opens, 2);
    EXPECT_EQ(fake_->aborts, 1);
  }
  EXPECT_EQ(Errors(), std::vector<std::u16string>{u"Pa_ReadStream: Wait timed out"});
  {
    std::lock_guard<std::mutex> g(log_lock_);
    EXPECT_EQ(warnings_, std::vector<std::u16string>{u"read overflowed (system too slow?)"});
    // Start, the failed read, then three good buffers.
    EXPECT_EQ(capt_levels_, (std::vector<uint32_t>{0, 0, 0, 0, 0}));
  }
  EXPECT_EQ(pa_->QueueCount(), 3 * 2);
  FreeRun();
  pa_->CaptStop();
}

TEST_F(AudioTest, CapturePoolShortageRaisesUnderflowAndKeepsWhatItGot) {
  settings_.InFactor = 3;
  Make(true, 2);
  pa_->CaptStart();
  Allow(1);
  WaitEntered(2);
  EXPECT_GE(pool_underflows_.load(), 1);
  EXPECT_EQ(pa_->QueueCount(), 2);
  FreeRun();
  pa_->CaptStop();
  EXPECT_EQ(pool_->Buffers().Count(), 2);
}

TEST_F(AudioTest, PlayLimitDropsInFivesAndOwesTheRest) {
  settings_.OutFactor = 2;
  Make(true);
  pa_->PlayStart(0, 1200);  // 30 blocks
  ASSERT_EQ(pa_->Mode(), AMODE_PLAY);
  WaitEntered(1);  // the thread sits in a silence write; the queue stays put
  auto a = Blocks(25);
  pa_->PlayPCMArray(a.data(), 25);
  EXPECT_EQ(pa_->QueueCount(), 25);
  EXPECT_FALSE(pa_->PlayQueueDry());
  auto b = Blocks(10);
  pa_->PlayPCMArray(b.data(), 10);  // allowed 32, excess 3 -> 5
  EXPECT_EQ(pa_->QueueCount(), 30);
  auto c = Blocks(3);
  pa_->PlayPCMArray(c.data(), 3);  // excess 1 -> 5: 3 dropped, 2 owed
  EXPECT_EQ(pa_->QueueCount(), 30);
  auto d = Blocks(4);
  pa_->PlayPCMArray(d.data(), 4);  // pays the 2 owed, queues 2
  EXPECT_EQ(pa_->QueueCount(), 32);
  int32_t by_limit = -1, by_overflow = -1;
  pa_->TakeSkipCounters(by_limit, by_overflow);
  EXPECT_EQ(by_limit, 10);
  EXPECT_EQ(by_overflow, 0);
  pa_->TakeSkipCounters(by_limit, by_overflow);
  EXPECT_EQ(by_limit, 0);
  EXPECT_EQ(pool_->Buffers().Count(), 1050 - 32);

  // Without a limit only the queue's capacity bounds it.
  pa_->SetPlayLimitMs(0);
  auto e = Blocks(400);
  pa_->PlayPCMArray(e.data(), 400);
  EXPECT_EQ(pa_->QueueCount(), 400);
  pa_->TakeSkipCounters(by_limit, by_overflow);
  EXPECT_EQ(by_overflow, 32);
  pa_->FlushQueue();
  EXPECT_TRUE(pa_->PlayQueueDry());
  EXPECT_EQ(pool_->Buffers().Count(), 1050);
}

TEST_F(AudioTest, StartDelayThenBlocksThenDrain) {
  settings_.OutFactor = 2;
  settings_.OutDelayConst = 200;
  settings_.OutDelayLatency = true;  // + 30 ms of stream latency
  Make(true);
  pa_->PlayStart(240, 0);  // 3 buffers of 80 ms
  ASSERT_EQ(pa_->Mode(), AMODE_PLAY);
  EXPECT_EQ(pa_->DrainMs(), 230);
  EXPECT_FALSE(pa_->PlayQueueDry());
  auto blocks = Blocks(3);
  pa_->PlayPCMArray(blocks.data(), 3);
  Allow(5);
  WaitWrites(5);
  WaitEntered(6);
  auto levels = PlayLevels();
  // The request's own level word first, then one per write.
  ASSERT_GE(levels.size(), 6u);
  EXPECT_EQ(levels[0], 0u);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(levels[i], kLevelPlayDelay) << i;
  EXPECT_EQ(levels[4], 101u);  // two blocks: peak of 100, 101
  EXPECT_EQ(levels[5], 102u);  // one block and silence
  {
    std::lock_guard<std::mutex> g(fake_->m);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(fake_->writes[i], std::vector<int16_t>(640, 0)) << i;
    EXPECT_EQ(fake_->writes[3][0], 100);
    EXPECT_EQ(fake_->writes[3][639], 101);
    EXPECT_EQ(fake_->writes[4][0], 102);
    EXPECT_EQ(fake_->writes[4][320], 0);
  }
  EXPECT_EQ(pool_->Buffers().Count(), 1050);
  // Empty queue: idle within the drain time, dry after it.
  fake_->now += 229;
  Allow(1);
  WaitEntered(7);
  EXPECT_EQ(PlayLevels().back(), kLevelPlayIdle);
  EXPECT_FALSE(pa_->PlayQueueDry());
  fake_->now += 1;
  Allow(1);
  WaitEntered(8);
  EXPECT_EQ(PlayLevels().back(), kLevelPlayDry);
  EXPECT_TRUE(pa_->PlayQueueDry());
  FreeRun();
  pa_->PlayStop();
  EXPECT_EQ(pa_->Mode(), AMODE_STOP);
  std::lock_guard<std::mutex> g(fake_->m);
  EXPECT_EQ(fake_->aborts, 1);
}

TEST_F(AudioTest, PlaybackReturnsEveryBlockItTakesWhateverThePoolHolds) {
  // Four blocks in the whole pool, five per play buffer: the buffer is made
  // up with silence and the three played blocks go back.
  settings_.OutFactor = 5;
  Make(true, 4);
  pa_->PlayStart(0, 0);
  WaitEntered(1);
  auto blocks = Blocks(3);
  pa_->PlayPCMArray(blocks.data(), 3);
  Allow(2);
  WaitWrites(2);
  WaitEntered(3);
  EXPECT_EQ(pool_->Buffers().Count(), 4);
  EXPECT_TRUE(Errors().empty());
  std::lock_guard<std::mutex> g(fake_->m);
  const auto& w = fake_->writes[1];
  ASSERT_EQ(w.size(), 1600u);
  EXPECT_EQ(w[0], 100);
  EXPECT_EQ(w[959], 102);
  EXPECT_EQ(w[960], 0);
  EXPECT_EQ(w[1599], 0);
}

TEST_F(AudioTest, UnderflowsWarnEverySecondAndRestartWithTheStream) {
  Make(true);
  auto results_used = [&] {
    std::lock_guard<std::mutex> g(fake_->m);
    return fake_->io_results.empty();
  };
  fake_->io_results = {paOutputUnderflowed, paOutputUnderflowed, paOutputUnderflowed};
  Allow(1000000);
  pa_->PlayStart(0, 0);
  ASSERT_TRUE(Eventually(results_used));
  pa_->PlayStop();
  {
    std::lock_guard<std::mutex> g(fake_->m);
    fake_->io_results = {paOutputUnderflowed};
  }
  pa_->PlayStart(0, 0);
  ASSERT_TRUE(Eventually(results_used));
  pa_->PlayStop();
  std::lock_guard<std::mutex> g(log_lock_);
  EXPECT_EQ(warnings_, std::vector<std::u16string>{u"write underflowed (system too slow?)"});
}

TEST_F(AudioTest, RepeatedUnderflowWarningsAreSpacedAndCounted) {
  Make(true);
  auto results_used = [&] {
    std::lock_guard<std::mutex> g(fake_->m);
    return fake_->io_results.empty();
  };
  fake_->io_results.assign(20, paOutputUnderflowed);
  Allow(1000000);
  pa_->PlayStart(0, 0);
  ASSERT_TRUE(Eventually(results_used));
  {
    std::lock_guard<std::mutex> g(fake_->m);
    fake_->now += TVEKAudioPA::kReportFirstMs;
    fake_->io_results.assign(2, paOutputUnderflowed);
  }
  ASSERT_TRUE(Eventually(results_used));
  pa_->PlayStop();
  std::lock_guard<std::mutex> g(log_lock_);
  EXPECT_EQ(warnings_, (std::vector<std::u16string>{u"write underflowed (system too slow?)",
                                                    u"write underflowed (system too slow?)",
                                                    u"PLAY: 9 more of these warnings since the last report"}));
}

TEST_F(AudioTest, OpenFailureAtPlayStartSignalsPlayBufferEmpty) {
  struct Case {
    std::string open_error;
    int rate;
    int quality;
    const char16_t* text;
  } cases[] = {
      {"Invalid sample rate: 1", 8000, acq_HIGH, u"PLAY: Invalid sample rate: 1"},
      // A quality outside the table has no converter; the stream is closed again.
      {"", 48000, 9, u"PLAY: Resample mode {3}"},
      {"", 20, acq_HIGH, u"PLAY: Invalid sample rate: 20"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    settings_.OutSampleRate = c.rate;
    settings_.OutQuality = static_cast<TVEKAudioConvertQuality>(c.quality);
    pa_.reset();
    errors_.clear();
    Make(true);
    fake_->open_errors = {c.open_error};
    pa_->PlayStart(0, 0);
    EXPECT_EQ(Errors(), std::vector<std::u16string>{c.text});
    EXPECT_EQ(pa_->Mode(), AMODE_PLAY);
    EXPECT_EQ(pa_->DeviceIndex(), -1);
    EXPECT_EQ(PlayLevels().back(), kLevelPlayEmpty);
    EXPECT_TRUE(pa_->PlayQueueDry());
    {
      std::lock_guard<std::mutex> g(fake_->m);
      // Opened streams are closed again; a refused open leaves none.
      EXPECT_EQ(fake_->closes, c.open_error.empty() ? fake_->opens : 0);
      EXPECT_EQ(fake_->starts, 0);
    }
    // Blocks handed in without a device go straight back.
    auto b = Blocks(2);
    pa_->PlayPCMArray(b.data(), 2);
    EXPECT_EQ(pool_->Buffers().Count(), 1050);
    pa_->PlayStop();
    EXPECT_EQ(pa_->Mode(), AMODE_STOP);
  }
}

TEST_F(AudioTest, WriteErrorReopensAndAFailedReopenEndsPlayback) {
  Make(true);
  fake_->io_results = {paUnanticipatedHostError, paNoError, paTimedOut};
  fake_->open_errors = {"", "", "Device unavailable"};
  pa_->PlayStart(0, 0);
  auto b = Blocks(2);
  pa_->PlayPCMArray(b.data(), 2);
  Allow(1);
  WaitEntered(2);  // failed, reopened, writing again
  {
    std::lock_guard<std::mutex> g(fake_->m);
    EXPECT_EQ(fake_->opens, 2);
    EXPECT_EQ(fake_->aborts, 1);
  }
  auto levels = PlayLevels();
  ASSERT_GE(levels.size(), 3u);
  EXPECT_EQ(levels[levels.size() - 2], kLevelPlayDelay);
  EXPECT_EQ(levels.back(), kLevelPlayDelay);
  Allow(2);  // a good write, then a failure whose reopen fails
  ASSERT_TRUE(Eventually([&] { return PlayLevels().back() == kLevelPlayReopenFailed; }));
  EXPECT_TRUE(pa_->PlayQueueDry());
  EXPECT_EQ(pa_->DeviceIndex(), -1);
  auto errors = Errors();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0], u"Pa_WriteStream: Unanticipated host error");
  EXPECT_EQ(errors[1], u"Pa_WriteStream: Wait timed out");
  EXPECT_EQ(errors[2], u"PLAY: Device unavailable");
  EXPECT_EQ(pool_->Buffers().Count(), 1050);
}

TEST_F(AudioTest, FailedReadOrWriteAfterAStopOpensNothing) {
  // The device that failed may hang in a new open (a named pipe nobody
  // reads): once the thread is asked to end, it opens nothing more.
  enum Step { Capture, StartDelay, QueuedBlocks, Silence };
  const char* const names[] = {"capture", "start delay", "queued blocks", "silence"};
  settings_.OutFactor = 1;
  for (Step step : {Capture, StartDelay, QueuedBlocks, Silence}) {
    SCOPED_TRACE(names[step]);
    pa_.reset();
    Make(true);
    fake_->io_results = {paUnanticipatedHostError};
    if (step == Capture) pa_->CaptStartBack();
    else pa_->PlayStart(step == StartDelay ? 200 : 0, 0);
    if (step == QueuedBlocks) {
      // Whatever the first write carried, the second one carries blocks.
      fake_->io_results = {paNoError, paUnanticipatedHostError};
      auto b = Blocks(3);
      pa_->PlayPCMArray(b.data(), 3);
      WaitEntered(1);
      Allow(1);
      WaitEntered(2);
    } else {
      WaitEntered(1);
    }
    pa_->Stop();
    Allow(1);
    ASSERT_TRUE(Eventually([&] { return pa_->Finished(); }));
    std::lock_guard<std::mutex> g(fake_->m);
    EXPECT_EQ(fake_->opens, 1);
  }
}

TEST_F(AudioTest, TimedOutRequestDoesNotReleaseTheNextOne) {
  Make(true);
  fake_->gate_open = true;  // the thread hangs in the open
  fake_->abort_sleep_ms = 300;
  pa_->PlayStart(0, 0);
  {
    std::lock_guard<std::mutex> g(log_lock_);
    EXPECT_EQ(warnings_, std::vector<std::u16string>{u"HW_START_PLAY: timeout: 1000"});
    EXPECT_EQ(events_, (std::vector<std::u16string>{u"warning", u"hardware"}));
  }
  EXPECT_EQ(pa_->Mode(), AMODE_PLAY);
  {
    std::lock_guard<std::mutex> g(fake_->m);
    fake_->gate_open = false;
    fake_->cv.notify_all();
  }
  // The late open answers the old request; the stop must wait for its own.
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> g(fake_->m);
    return fake_->starts == 1;
  }));
  Allow(1000000);
  pa_->PlayStop();
  std::lock_guard<std::mutex> g(fake_->m);
  EXPECT_EQ(fake_->aborts, 1);
  EXPECT_EQ(pa_->Mode(), AMODE_STOP);
}

TEST_F(AudioTest, LateOpenOfATimedOutRequestIsClosedBeforeTheNextOpen) {
  Make(true);
  fake_->gate_open = true;  // the playback open hangs past its request
  pa_->PlayStart(0, 0);
  pa_->PlayStop();      // no stream yet: nothing to stop
  pa_->CaptStartBack();  // times out too: the thread is still in the open
  EXPECT_EQ(pa_->Mode(), AMODE_CAPT_BACK);
  {
    std::lock_guard<std::mutex> g(fake_->m);
    fake_->gate_open = false;
    fake_->cv.notify_all();
  }
  Allow(1);  // the pass that brought the late stream up runs one step on it
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> g(fake_->m);
    return fake_->starts == 2;
  }));
  std::lock_guard<std::mutex> g(fake_->m);
  EXPECT_EQ(fake_->opens, 2);
  EXPECT_EQ(fake_->closes, 1);  // the late playback stream, before capture opened
}

// A card that is gone for ten seconds of the thread's clock and then comes
// back: nobody asks the thread for anything meanwhile.
struct DeadCardRow {
  const char* name;
  bool capture;
  PaError io_error;
  const char* refuse_opens;  // "" = opens work, only reads or writes fail
  const char16_t* io_line;
  const char16_t* io_count;  // the ending of a line that counts held-back ones
  const char16_t* prefix;
};
const DeadCardRow kDeadCardRows[] = {
    {"capture unplugged", true, paUnanticipatedHostError, "Device unavailable",
     u"Pa_ReadStream: Unanticipated host error", u" more read errors since the last report", u"CAPT: "},
    {"playback writes fail", false, paTimedOut, "", u"Pa_WriteStream: Wait timed out",
     u" more write errors since the last report", u"PLAY: "},
};

class AudioDeadCardTest : public AudioTest, public ::testing::WithParamInterface<DeadCardRow> {
 protected:
  // Moves the clock by `ms` and waits until the thread has looked at it.
  void Advance(uint32_t ms) {
    std::unique_lock<std::mutex> g(fake_->m);
    fake_->now += ms;
    const int seen = fake_->waits;
    ASSERT_TRUE(fake_->cv.wait_for(g, kWait, [&] { return fake_->waits >= seen + 2; }));
  }
  // Failures a kind of line accounts for: each line `text` is one, each
  // line "<prefix>N<count ending>" N more.
  static int Accounted(const std::vector<std::u16string>& lines, const std::u16string& text,
                       const std::u16string& prefix, const std::u16string& count_ending) {
    int n = 0;
    for (const std::u16string& l : lines) {
      if (l == text) ++n;
      if (l.size() > prefix.size() + count_ending.size() && l.rfind(prefix, 0) == 0 &&
          l.ends_with(count_ending))
        n += std::stoi(DaxUnicodeToAnsiRaw(l.substr(prefix.size(), l.size() - prefix.size() - count_ending.size())));
    }
    return n;
  }
};

TEST_P(AudioDeadCardTest, RetriesSpacedFailuresCountedOneLineWhenBack) {
  const DeadCardRow& row = GetParam();
  constexpr uint32_t kStepMs = 20;
  Make(true);
  if (row.capture) pa_->CaptStartBack();
  else pa_->PlayStart(0, 0);
  {
    std::lock_guard<std::mutex> g(fake_->m);
    fake_->io_fail = row.io_error;
    fake_->refuse_opens = row.refuse_opens;
  }
  FreeRun();
  {
    std::unique_lock<std::mutex> g(fake_->m);
    ASSERT_TRUE(fake_->cv.wait_for(g, kWait, [&] { return fake_->waits > 0; }));
  }
  for (uint32_t t = 0; t < 10000; t += kStepMs) Advance(kStepMs);
  size_t opens_while_gone;
  {
    std::lock_guard<std::mutex> g(fake_->m);
    opens_while_gone = fake_->open_times.size();
    fake_->io_fail = paNoError;
    fake_->refuse_opens.clear();
    // The next retry is due within the longest interval.
    fake_->now += TVEKAudioPA::kReopenMaxMs;
  }
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> g(log_lock_);
    return !infos_.empty();
  }));

  std::lock_guard<std::mutex> g(fake_->m);
  // The opens after the first: at once, then at an interval that doubles
  // up to its bound, and one more once the card is back.
  const std::vector<uint32_t>& at = fake_->open_times;
  ASSERT_GE(at.size(), 8u);
  EXPECT_LE(opens_while_gone, 11u);
  EXPECT_EQ(at.size(), opens_while_gone + 1);
  EXPECT_EQ(at[1], at[0]) << "the first reopen comes at once";
  uint32_t gap = at[2] - at[1];
  EXPECT_GE(gap, TVEKAudioPA::kReopenFirstMs);
  EXPECT_LE(gap, 2 * TVEKAudioPA::kReopenFirstMs + kStepMs);
  for (size_t i = 3; i + 1 < at.size(); ++i) {
    const uint32_t expected = std::min(2 * gap, TVEKAudioPA::kReopenMaxMs);
    gap = at[i] - at[i - 1];
    EXPECT_GE(gap, expected) << "open " << i;
    EXPECT_LE(gap, expected + kStepMs) << "open " << i;
  }

  std::lock_guard<std::mutex> lg(log_lock_);
  ASSERT_FALSE(errors_.empty());
  EXPECT_EQ(errors_[0], row.io_line);
  // Reports at 0, 1, 3 and 7 s of each kind, with their counts: every
  // failure is told, few lines tell them.
  EXPECT_LE(errors_.size(), 16u);
  EXPECT_EQ(Accounted(errors_, row.io_line, row.prefix, row.io_count), fake_->io_failures);
  const std::u16string open_line = std::u16string(row.prefix) + DaxAnsiToUnicodeRaw(row.refuse_opens);
  EXPECT_EQ(Accounted(errors_, open_line, row.prefix, u" more open errors since the last report"),
            fake_->open_failures);
  EXPECT_GE(fake_->io_failures + fake_->open_failures, 6);
  EXPECT_EQ(infos_, std::vector<std::u16string>{std::u16string(row.prefix) + u"audio device works again"});
}

INSTANTIATE_TEST_SUITE_P(DeadCard, AudioDeadCardTest, ::testing::ValuesIn(kDeadCardRows), vektest::RowName());

// ---------------------------------------------------------------------------
// Through real PortAudio on the test devices

double FitAmplitude(const std::vector<int16_t>& x, size_t from, size_t to, double freq, int rate,
                    double* residual) {
  const vektest::SineFit fit = vektest::FitSine(x, from, to, freq, rate);
  *residual = fit.residual;
  return fit.amplitude;
}

class AudioAlsaTest : public AudioTest {
 protected:
  // Captures `blocks` blocks in capture mode, taking them out of the queue
  // on the sound-card thread as they arrive (the file is not paced).
  std::vector<int16_t> CaptureBlocks(size_t blocks) {
    std::mutex m;
    std::vector<int16_t> got;
    on_capture_ = [&](TVEKAudioPA* p) {
      void* ptrs[8];
      int n;
      while ((n = p->Queue().PopMany(ptrs, 8)) > 0) {
        std::lock_guard<std::mutex> g(m);
        for (int i = 0; i < n; ++i) {
          auto* s = static_cast<int16_t*>(ptrs[i]);
          if (got.size() < blocks * 320) got.insert(got.end(), s, s + 320);
        }
        pool_->Buffers().PushMany(ptrs, n);
      }
    };
    pa_->CaptStart();
    EXPECT_TRUE(Eventually([&] {
      std::lock_guard<std::mutex> g(m);
      return got.size() >= blocks * 320;
    }));
    pa_->CaptStop();
    on_capture_ = nullptr;
    return got;
  }
};

TEST_F(AudioAlsaTest, CaptureArrivesAsEightKilohertzBlocksAtEveryCardRate) {
  struct Case {
    int rate;
    TVEKAudioConvertQuality q;
  } cases[] = {{8000, acq_HIGH},    {22050, acq_HIGH}, {44100, acq_HIGH},
               {48000, acq_HIGH},   {44100, acq_MEDIUM}, {48000, acq_MEDIUM}};
  for (auto [rate, q] : cases) {
    SCOPED_TRACE(::testing::Message() << rate << " quality " << int(q));
    auto source = TAlsaTestDevices::Sine(1.0, 1000, rate, 10000);
    TAlsaTestDevices::WriteRaw(capture_file_, source);
    settings_.InSampleRate = rate;
    settings_.InQuality = q;
    settings_.InFactor = 2;
    pa_.reset();
    Make(false);
    auto got = CaptureBlocks(20);
    ASSERT_EQ(got.size(), 20u * 320);
    if (rate == 8000) {
      EXPECT_TRUE(std::equal(got.begin(), got.end(), source.begin()));
    } else {
      double residual = 0;
      double amp = FitAmplitude(got, 800, got.size(), 1000, 8000, &residual);
      EXPECT_NEAR(amp, 10000, 50);
      EXPECT_LT(residual, 0.01);
    }
    EXPECT_TRUE(Errors().empty());
  }
}

TEST_F(AudioAlsaTest, CaptureThroughSampleRatePadsLeadingZerosOnEveryOpen) {
  TAlsaTestDevices::WriteRaw(capture_file_, TAlsaTestDevices::Sine(1.0, 1000, 48000, 10000));
  settings_.InSampleRate = 48000;
  settings_.InQuality = acq_HIGH;
  Make(false);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto got = CaptureBlocks(4);
    ASSERT_EQ(got.size(), 4u * 320);
    // The converter's delay comes out as leading silence; after it the sine
    // runs on without a gap or stale samples at the end of the first buffer.
    size_t k = std::find_if(got.begin(), got.end(), [](int16_t v) { return v != 0; }) - got.begin();
    EXPECT_GE(k, 8u);
    EXPECT_LT(k, 64u);
    double residual = 0;
    double amp = FitAmplitude(got, k + 32, got.size(), 1000, 8000, &residual);
    EXPECT_NEAR(amp, 10000, 50);
    EXPECT_LT(residual, 0.01);
  }
}

TEST_F(AudioAlsaTest, PlaybackLandsInTheDeviceFile) {
  for (int rate : {8000, 48000}) {
    SCOPED_TRACE(rate);
    settings_.OutSampleRate = rate;
    settings_.OutQuality = acq_MEDIUM;
    settings_.OutFactor = 1;
    pa_.reset();
    Make(false);
    auto sine = TAlsaTestDevices::Sine(0.8, 500, 8000, 8000);
    pa_->PlayStart(0, 0);
    ASSERT_EQ(pa_->Mode(), AMODE_PLAY);
    std::vector<void*> blocks(20);
    ASSERT_EQ(pool_->Buffers().PopMany(blocks.data(), 20), 20);
    for (int i = 0; i < 20; ++i) std::memcpy(blocks[i], sine.data() + i * 320, 640);
    pa_->PlayPCMArray(blocks.data(), 20);
    ASSERT_TRUE(Eventually([&] { return pa_->PlayQueueDry() && pa_->QueueCount() == 0; }));
    pa_->PlayStop();
    pa_.reset();  // the file is complete once the stream is closed
    auto out = TAlsaTestDevices::ReadRaw(play_file_);
    auto first = std::find_if(out.begin(), out.end(), [](int16_t v) { return v != 0; });
    ASSERT_NE(first, out.end());
    size_t start = first - out.begin();
    if (rate == 8000) {
      // The first sample of the sine is 0: the match starts one before.
      ASSERT_GE(out.size(), start - 1 + sine.size());
      EXPECT_TRUE(std::equal(sine.begin(), sine.end(), out.begin() + (start - 1)));
    } else {
      size_t n = sine.size() * 6;
      ASSERT_GE(out.size(), start + n);
      std::vector<int16_t> part(out.begin() + start, out.begin() + start + n);
      double residual = 0;
      double amp = FitAmplitude(part, 600, n - 600, 500, 48000, &residual);
      EXPECT_NEAR(amp, 8000, 80);
      EXPECT_LT(residual, 0.02);
    }
    EXPECT_TRUE(Errors().empty());
  }
}

TEST_F(AudioAlsaTest, CapturedDtmfDigitsReachTheToneQueue) {
  // Two digits made by sox, with silence around them, captured at 44100 Hz.
  auto tone = [&](int low, int high) {
    std::string raw = alsa_.PathOf("digit.raw");
    std::string cmd = "sox -n -r 44100 -c 1 -b 16 -e signed-integer -t raw " + raw +
                      " synth 0.16 sine " + std::to_string(low) + " synth 0.16 sine mix " +
                      std::to_string(high) + " vol 0.5";
    vektest::Sh(cmd);
    return TAlsaTestDevices::ReadRaw(raw);
  };
  std::vector<int16_t> digits(8820, 0);
  for (auto [low, high] : {std::pair{770, 1336}, std::pair{941, 1477}}) {
    auto t = tone(low, high);
    ASSERT_GT(t.size(), 7000u);
    digits.insert(digits.end(), t.begin(), t.end());
    digits.insert(digits.end(), 8820, 0);
  }
  TAlsaTestDevices::WriteRaw(capture_file_, digits);
  settings_.InSampleRate = 44100;
  settings_.InQuality = acq_HIGH;
  settings_.InDtmfEnabled = true;
  Make(false);
  std::atomic<int> tones{0};
  pa_->OnDtmfTone = [&] { ++tones; };
  CaptureBlocks(40);  // 1.6 s
  std::string got;
  char c;
  while (pa_->PopDtmfTone(c)) got += c;
  EXPECT_EQ(got, "5#");
  EXPECT_EQ(tones.load(), 2);
}

TEST_F(AudioAlsaTest, BackgroundCaptureFromAPacedPipe) {
  std::string fifo = alsa_.MakeFifo("cap.fifo");
  TAlsaTestDevices devices;
  devices.AddCapture("vekpipe", fifo);
  devices.Install();
  auto sine = TAlsaTestDevices::Sine(2.0, 1000, 8000, 6000);
  // The feeder holds both ends, so ALSA's open of the pipe never blocks.
  TFifoFeeder feeder(fifo, sine, 8000, 640);
  rt_.reset();  // PortAudio reads the configuration at its first start only
  rt_ = std::make_unique<TVEKAudioRT>();
  settings_.InDevice = u"ALSA:vekpipe";
  settings_.InFactor = 2;
  Make(false);
  pa_->CaptStartBack();
  ASSERT_EQ(pa_->Mode(), AMODE_CAPT_BACK);
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> g(log_lock_);
    return capt_levels_.size() >= 10;
  }));
  pa_->CaptStop();
  feeder.Stop();
  std::lock_guard<std::mutex> g(log_lock_);
  // Every buffer of the paced sine carries its peak.
  int near_peak = 0;
  for (uint32_t l : capt_levels_) near_peak += (l >= 5900 && l <= 6000);
  EXPECT_GE(near_peak, 8);
  EXPECT_TRUE(errors_.empty());
}

TEST_F(AudioAlsaTest, PlaybackIntoAPacedPipe) {
  std::string fifo = alsa_.MakeFifo("play.fifo");
  TAlsaTestDevices devices;
  devices.AddPlayback("vekpipeplay", fifo);
  devices.Install();
  TFifoDrainer drainer(fifo, 8000);  // a reader first: ALSA's open then never blocks
  rt_.reset();
  rt_ = std::make_unique<TVEKAudioRT>();
  settings_.OutDevice = u"ALSA:vekpipeplay";
  settings_.OutFactor = 2;
  Make(false);
  auto sine = TAlsaTestDevices::Sine(0.4, 700, 8000, 7000);
  pa_->PlayStart(0, 0);
  ASSERT_EQ(pa_->Mode(), AMODE_PLAY);
  std::vector<void*> blocks(10);
  ASSERT_EQ(pool_->Buffers().PopMany(blocks.data(), 10), 10);
  for (int i = 0; i < 10; ++i) std::memcpy(blocks[i], sine.data() + i * 320, 640);
  pa_->PlayPCMArray(blocks.data(), 10);
  // Silence may come first, as much as the thread wrote before the blocks.
  auto played = [&] {
    auto out = drainer.Samples();
    return std::search(out.begin(), out.end(), sine.begin() + 1, sine.end()) != out.end();
  };
  EXPECT_TRUE(Eventually(played));
  pa_->PlayStop();
  pa_.reset();
  drainer.Stop();
  EXPECT_TRUE(Errors().empty());
}

}  // namespace

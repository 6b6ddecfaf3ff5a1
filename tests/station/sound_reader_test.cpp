#include "station/sound_reader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/charset.h"
#include "station/builtin_sounds.h"
#include "support/event_log.h"
#include "support/test_files.h"
#include "support/wait.h"

namespace {

using Frame = std::vector<int16_t>;
using namespace std::chrono_literals;

std::u16string W(const std::string& s) { return DaxUtf8ToUnicode(s); }
std::string N(const std::u16string& s) { return DaxUnicodeToUtf8(s); }

std::string U16(uint32_t v) { return {char(v & 0xFF), char((v >> 8) & 0xFF)}; }
std::string U32(uint32_t v) { return U16(v & 0xFFFF) + U16(v >> 16); }
// A PCM header with the given channels and block align over some data.
std::string PcmWav(uint16_t channels, uint16_t align, uint16_t tag = 1) {
  std::string fmt = U16(tag) + U16(channels) + U32(8000) + U32(16000) + U16(align) + U16(16);
  std::string data(640, '\1');
  std::string chunks = "fmt " + U32(16) + fmt + "data" + U32(uint32_t(data.size())) + data;
  return "RIFF" + U32(uint32_t(4 + chunks.size())) + "WAVE" + chunks;
}

class SoundReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir_ / "sounds").c_str(), 0755);
    system_.ProgramDir = W(dir_.path());
    system_.AudioFilesConvert = true;
  }
  void TearDown() override {
    reader_.reset();
    if (pool_) {
      EXPECT_EQ(pool_->Buffers().Count(), pool_->BufferCount()) << "frames not returned";
    }
  }

  std::string Sounds(const std::string& name) const { return dir_ / ("sounds/" + name); }
  void Sox(const std::string& name, const std::string& format, double seconds) {
    vektest::SoxTone(Sounds(name), format, seconds);
  }

  void Make(int buffers = 1050) {
    pool_ = std::make_unique<TDaxPoolBuffers>(640, buffers);
    pool_->Fill();
    reader_ = std::make_unique<TVEKSoundReader>(pool_.get(), &system_, &sounds_);
    reader_->OnSoundText = [this](const std::u16string& t) { texts_.Add(N(t)); };
    reader_->OnFixedSoundStarted = [this](int i) {
      std::lock_guard<std::mutex> l(m_);
      fixed_started_.push_back(i);
    };
    reader_->OnFileStarted = [this] {
      std::lock_guard<std::mutex> l(m_);
      ++files_started_;
    };
    reader_->OnFramesReady = [this] { cv_.notify_all(); };
    reader_->OnSoundFinished = [this] {
      std::lock_guard<std::mutex> l(m_);
      ++finished_;
      cv_.notify_all();
    };
    ASSERT_TRUE(WaitFor([&] { return reader_->Started(); }));
  }

  int Finished() {
    std::lock_guard<std::mutex> l(m_);
    return finished_;
  }
  std::vector<std::string> Texts() { return texts_.Events(); }

  // Takes frames up to `limit` as the engine does, returning the buffers.
  int Take(std::vector<Frame>& out, int limit) {
    void* frames[64];
    int n = reader_->ReadFrames(frames, std::min(limit, 64));
    for (int i = 0; i < n; ++i) {
      auto* p = static_cast<int16_t*>(frames[i]);
      out.emplace_back(p, p + 320);
    }
    pool_->Buffers().PushMany(frames, n);
    return n;
  }

  // Every frame until OnSoundFinished has come `target` times in all.
  std::vector<Frame> Play(int target) {
    std::vector<Frame> out;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Take(out, 64) > 0) continue;
      std::unique_lock<std::mutex> l(m_);
      if (finished_ >= target && reader_->AvailableFrames() == 0) return out;
      cv_.wait_for(l, 5ms);
    }
    ADD_FAILURE() << "sound did not finish: mode " << int(reader_->Mode()) << " frames " << out.size()
                  << " finished " << Finished() << " ring " << reader_->AvailableFrames() << " texts "
                  << Texts().size();
    return out;
  }

  // The request, then its frames; counted before the request, since a short
  // sound can end before the first frame is taken.
  std::vector<Frame> PlaySound(int index) {
    int target = Finished() + 1;
    reader_->RequestFixedSound(index);
    return Play(target);
  }
  std::vector<Frame> PlayFiles() {
    int target = Finished() + 1;
    reader_->RequestFiles();
    return Play(target);
  }

  template <class Pred>
  bool WaitFor(Pred pred) {
    return vektest::WaitUntil(pred, vektest::kPeerWaitMs, 2);
  }

  vektest::TempDir dir_;
  TVEKSystemParameters system_;
  TVEKSoundParameters sounds_;
  std::unique_ptr<TDaxPoolBuffers> pool_;
  std::unique_ptr<TVEKSoundReader> reader_;
  std::mutex m_;
  std::condition_variable cv_;
  vektest::EventLog texts_;
  std::vector<int> fixed_started_;
  int files_started_ = 0;
  int finished_ = 0;
};

int Peak(const std::vector<Frame>& frames) {
  int p = 0;
  for (const Frame& f : frames)
    for (int16_t v : f) p = std::max(p, std::abs(int(v)));
  return p;
}

TEST_F(SoundReaderTest, EveryControlSoundWithoutAFilePlaysItsBuiltinSound) {
  Make();
  for (int i = 0; i < VekControlSoundCount; ++i) {
    SCOPED_TRACE(i);
    std::vector<Frame> frames = PlaySound(i);
    EXPECT_EQ(int(frames.size()), kVekBuiltinSoundInfo[VekBuiltinSoundFor(i) - 1].Blocks);
    EXPECT_GT(Peak(frames), 4000);
    EXPECT_EQ(fixed_started_.back(), i);
    EXPECT_EQ(reader_->GetSoundName(i), u"");
    EXPECT_EQ(reader_->Mode(), TVEKSoundReader::kModeIdle);
  }
  EXPECT_EQ(Finished(), VekControlSoundCount);
  EXPECT_TRUE(Texts().empty());
}

TEST_F(SoundReaderTest, EveryControlSoundPlaysItsConfiguredFile) {
  // 0.5 s: 12.5 frames, so the last one is padded with zeros.
  Sox("half.wav", "-r 8000 -c 1 -b 16", 0.5);
  Sox("gsm.wav", "-r 8000 -c 1 -e gsm-full-rate", 0.2);
  for (int i = 0; i < VekControlSoundCount; ++i) {
    sounds_.FileNames[i] = i % 2 ? u" half.wav " : W(Sounds("gsm.wav"));
    sounds_.Enabled[i] = i != 4;
  }
  Make();
  for (int i = 0; i < VekControlSoundCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(reader_->IsSoundEnabled(i), i != 4);
    std::vector<Frame> frames = PlaySound(i);
    if (i % 2) {
      ASSERT_EQ(frames.size(), 13u);
      EXPECT_NE(frames[12][100], 0);
      for (int s = 160; s < 320; ++s) ASSERT_EQ(frames[12][s], 0) << s;
      EXPECT_EQ(reader_->GetSoundName(i), W(Sounds("half.wav")));
    } else {
      EXPECT_EQ(frames.size(), 5u);
      EXPECT_EQ(reader_->GetSoundName(i), W(Sounds("gsm.wav")));
    }
  }
  EXPECT_TRUE(Texts().empty());
}

TEST_F(SoundReaderTest, TheConnectionsConnectSoundComesFirst) {
  Sox("conf.wav", "-r 8000 -c 1 -b 16", 0.4);
  Sox("conn.wav", "-r 16000 -c 2 -b 16", 0.2);
  sounds_.FileNames[csnd_Connect] = u"conf.wav";
  Make();
  reader_->SetConnectSoundFile(u"conn.wav");
  EXPECT_NEAR(double(PlaySound(csnd_Connect).size()), 5.0, 1.0);
  EXPECT_EQ(reader_->GetSoundName(csnd_Connect), W(Sounds("conn.wav")));
  reader_->SetConnectSoundFile(u"");
  EXPECT_EQ(PlaySound(csnd_Connect).size(), 10u);
  EXPECT_EQ(reader_->GetSoundName(csnd_Connect), W(Sounds("conf.wav")));
}

TEST_F(SoundReaderTest, UnusableConfiguredFilesFallBackToTheBuiltinSound) {
  Sox("rate.wav", "-r 16000 -c 1 -b 16", 0.2);
  vektest::WriteFile(Sounds("text.wav"), "this is no sound file at all, only text");
  vektest::WriteFile(Sounds("nochan.wav"), PcmWav(0, 2));
  vektest::WriteFile(Sounds("align0.wav"), PcmWav(1, 0));
  vektest::WriteFile(Sounds("mp3.wav"), PcmWav(1, 2, 85));
  struct Case {
    const char* file;
    bool convert;
    std::string ending;
  } cases[] = {
      {"missing.wav", true, "\": not found"},
      {"text.wav", true, "\": unknown audio format"},
      {"rate.wav", false, "\": sample rate is not 8000"},
      {"nochan.wav", true, "\": not mono"},
      {"mp3.wav", true, "\": unknown audio format"},
  };
  Make();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    system_.AudioFilesConvert = c.convert;
    sounds_.FileNames[csnd_Courtesy] = W(c.file);
    size_t before = Texts().size();
    EXPECT_EQ(PlaySound(csnd_Courtesy).size(), 6u);
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(texts.size(), before + 1);
    EXPECT_EQ(texts.back(), "external file \"" + Sounds(c.file) + c.ending + ": use [INTERNAL]");
    EXPECT_EQ(reader_->GetSoundName(csnd_Courtesy), u"");
  }
  // The header passes the probe but not the PCM reader.
  sounds_.FileNames[csnd_Error] = u"align0.wav";
  EXPECT_EQ(PlaySound(csnd_Error).size(), 30u);
  EXPECT_EQ(Texts().back(),
            "file \"" + Sounds("align0.wav") + "\": Header of wave file is corrupted: use [INTERNAL]");
}

TEST_F(SoundReaderTest, AReadFailureEndsTheControlSound) {
  vektest::WriteFile(Sounds("align4.wav"), PcmWav(1, 4));
  sounds_.FileNames[csnd_Roger] = u"align4.wav";
  Make();
  EXPECT_TRUE(PlaySound(csnd_Roger).empty());
  EXPECT_EQ(Texts(), std::vector<std::string>{"Execute: Align must be 2"});
  EXPECT_EQ(reader_->Mode(), TVEKSoundReader::kModeIdle);
}

TEST_F(SoundReaderTest, RingStopsAtTheHighMarkAndRequestsWaitForStopPlayback) {
  Sox("long.wav", "-r 8000 -c 1 -b 16", 10);
  sounds_.FileNames[csnd_Reject] = u"long.wav";
  Make();
  reader_->RequestFixedSound(csnd_Reject);
  ASSERT_TRUE(WaitFor([&] { return reader_->AvailableFrames() >= 56; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(reader_->AvailableFrames(), 56);

  for (auto request : {+[](TVEKSoundReader& r) { r.RequestFixedSound(csnd_Roger); },
                       +[](TVEKSoundReader& r) { r.RequestFiles(); }}) {
    try {
      request(*reader_);
      ADD_FAILURE() << "accepted while playing";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "SoundReader: busy");
    }
  }

  // Down to the low mark, the reader fills up again.
  std::vector<Frame> taken;
  ASSERT_EQ(Take(taken, 37), 37);
  ASSERT_TRUE(WaitFor([&] { return reader_->AvailableFrames() >= 56; }))
      << reader_->AvailableFrames() << " frames, mode " << int(reader_->Mode()) << ", " << taken.size()
      << " taken, " << Texts().size() << " texts";

  EXPECT_TRUE(reader_->StopPlayback());
  EXPECT_EQ(reader_->AvailableFrames(), 0);
  EXPECT_EQ(reader_->Mode(), TVEKSoundReader::kModeIdle);
  EXPECT_EQ(pool_->Buffers().Count(), pool_->BufferCount());
  int finished = Finished();
  EXPECT_EQ(PlaySound(csnd_Roger).size(), 6u);
  EXPECT_EQ(Finished(), finished + 1);
}

TEST_F(SoundReaderTest, PauseHoldsTheReaderUntilResume) {
  Make();
  reader_->PauseReading();
  reader_->RequestFixedSound(csnd_Courtesy);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(reader_->AvailableFrames(), 0);
  reader_->ResumeReading();
  EXPECT_EQ(Play(1).size(), 6u);
}

TEST_F(SoundReaderTest, QueuedFilesPlayInOrderSkippingBadOnesAndFinishOnce) {
  Sox("a.wav", "-r 8000 -c 1 -b 16", 0.2);
  Sox("c.wav", "-r 8000 -c 1 -e gsm-full-rate", 0.92);
  vektest::WriteFile(Sounds("d.wav"), PcmWav(1, 0));
  vektest::WriteFile(Sounds("e.wav"), PcmWav(1, 2, 85));
  vektest::WriteFile(Sounds("g.wav"), PcmWav(1, 4));  // opens, but its first read fails
  Sox("f.wav", "-r 44100 -c 2 -b 16", 0.4);
  Make();
  for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav", "e.wav", "g.wav", "f.wav"})
    reader_->AddFileName(W(Sounds(name)));
  EXPECT_EQ(reader_->FileCount(), 7);
  std::vector<Frame> frames = PlayFiles();
  // 5 + 23 + about 10 frames.
  EXPECT_NEAR(double(frames.size()), 38.0, 1.0);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Finished(), 1);
  EXPECT_EQ(files_started_, 4);
  std::u16string name;
  for (const char* expect : {"a.wav", "c.wav", "g.wav", "f.wav"}) {
    ASSERT_TRUE(reader_->PopStartedFileName(name));
    EXPECT_EQ(name, W(Sounds(expect)));
  }
  EXPECT_FALSE(reader_->PopStartedFileName(name));
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         "external file \"" + Sounds("b.wav") + "\": No such file or directory",
                         "file \"" + Sounds("d.wav") + "\": Header of wave file is corrupted",
                         "external file \"" + Sounds("e.wav") + "\": unknown format{1}",
                         "Execute: Align must be 2"}));

  // An empty queue finishes at once.
  EXPECT_TRUE(PlayFiles().empty());
  EXPECT_EQ(Finished(), 2);
}

// A named pipe where a sound file belongs must not hold the reader thread
// (and with it the engine's stop) until some writer appears.
TEST_F(SoundReaderTest, NamedPipesAreRefusedWithoutBlocking) {
  Sox("a.wav", "-r 8000 -c 1 -b 16", 0.2);
  ASSERT_EQ(mkfifo(Sounds("pipe.wav").c_str(), 0644), 0);
  // Releases a reader blocked in open, so a failing run ends.
  auto release = [&] {
    int fd = ::open(Sounds("pipe.wav").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  };
  sounds_.FileNames[csnd_Courtesy] = u"pipe.wav";
  Make();
  std::vector<Frame> frames = PlaySound(csnd_Courtesy);
  release();
  EXPECT_EQ(frames.size(), 6u);
  ASSERT_EQ(Texts().size(), 1u);
  EXPECT_EQ(Texts()[0],
            "external file \"" + Sounds("pipe.wav") + "\": unknown audio format: use [INTERNAL]");

  reader_->AddFileName(W(Sounds("pipe.wav")));
  reader_->AddFileName(W(Sounds("a.wav")));
  frames = PlayFiles();
  release();
  EXPECT_EQ(frames.size(), 5u);
  ASSERT_EQ(Texts().size(), 2u);
  EXPECT_EQ(Texts()[1], "external file \"" + Sounds("pipe.wav") + "\": unknown format{1}");
}

TEST_F(SoundReaderTest, PoolUnderflowPausesAndPlaybackGoesOn) {
  Make(4);
  reader_->RequestFixedSound(csnd_Courtesy);
  ASSERT_TRUE(WaitFor([&] { return !Texts().empty(); }));
  std::this_thread::sleep_for(200ms);
  std::vector<std::string> texts = Texts();
  // A pause between tries: a handful of reports, not one per loop pass.
  EXPECT_LE(texts.size(), 15u);
  EXPECT_EQ(texts[0].rfind("Execute: ", 0), 0u) << texts[0];
  EXPECT_EQ(reader_->AvailableFrames(), 4);
  EXPECT_EQ(Play(1).size(), 6u);
}

TEST_F(SoundReaderTest, DestroyingWhilePlayingReturnsEveryFrame) {
  Sox("long.wav", "-r 8000 -c 1 -b 16", 10);
  sounds_.FileNames[csnd_Roger] = u"long.wav";
  Make();
  reader_->RequestFixedSound(csnd_Roger);
  ASSERT_TRUE(WaitFor([&] { return reader_->AvailableFrames() >= 56; }));
  reader_.reset();  // TearDown checks the pool
}

}  // namespace

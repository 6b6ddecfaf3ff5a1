// The sound and input commands on ALSA file PCMs whose pipes are paced in
// real time: device lists, the rate probe, the level bar, the input check.
#include <signal.h>

#include <gtest/gtest.h>

#include <memory>

#include "support/child_process.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"
#include "support/wait.h"

namespace vektest {
namespace {

class VekClientAudio : public ::testing::Test {
 protected:
  VekClientAudio() {
    table_ = BaseConfig(dir_.path());
    table_["Audio"] = PacedSoundCard::AudioSection();
    WriteIni(config_, table_);
  }
  ProcessResult Run(const std::vector<std::string>& args) {
    return RunProcess(VekClientPath(), args);
  }
  // A command that runs until stopped: wait for `needle`, then SIGINT.
  ProcessResult RunUntil(const std::string& command, const std::string& needle) {
    ChildProcess child(VekClientPath(), {command, config_});
    EXPECT_TRUE(child.WaitForOutput(needle)) << child.Out() << child.Err();
    child.Signal(SIGINT);
    ProcessResult r = child.Wait();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r;
  }

  // A constant level of 16384.
  PacedSoundCard sound_{std::vector<int16_t>(8000 * 30, 16384)};
  TempDir dir_;
  std::string config_ = dir_ / "vek.cfg";
  IniTable table_;
};

bool HasLine(const std::string& text, const std::string& line) {
  const std::vector<std::string> lines = Lines(text);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(VekClientAudio, DeviceLists) {
  ProcessResult r = Run({"audio"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(HasLine(r.out, "ALSA:vekcap")) << r.out;
  EXPECT_EQ(r.err, "");
  r = Run({"audioconfig"});
  EXPECT_EQ(r.exit_code, 0);
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "#");
  EXPECT_EQ(lines[1], "#");
  EXPECT_EQ(lines[2], "[INPUT_AUDIO_DEVICES_LIST]");
  EXPECT_TRUE(HasLine(r.out, "InDevice=ALSA:vekcap"));
  EXPECT_TRUE(HasLine(r.out, "[OUTPUT_AUDIO_DEVICES_LIST]"));
  EXPECT_TRUE(HasLine(r.out, "OutDevice=ALSA:vekplay"));
}

TEST_F(VekClientAudio, CheckRateListsTheRatesThatOpen) {
  const std::string rates[] = {"  8000", " 11025", " 12000", " 16000", " 22050",
                               " 24000", " 32000", " 44100", " 48000"};
  ProcessResult r = Run({"checkrate", "ALSA:vekplay"});
  EXPECT_EQ(r.exit_code, 0);
  std::vector<std::string> expected = {"Input sample rates for: ALSA:vekplay"};
  expected.insert(expected.end(), std::begin(rates), std::end(rates));
  expected.push_back("Output sample rates for: ALSA:vekplay");
  expected.insert(expected.end(), std::begin(rates), std::end(rates));
  EXPECT_EQ(Lines(r.out), expected);

  r = Run({"checkrate", "nosuchdevice"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                              "ERROR: Input audio device not found: nosuchdevice",
                              "ERROR: Output audio device not found: nosuchdevice"}));
}

TEST_F(VekClientAudio, LevelBar) {
  const ProcessResult r = RunUntil("audiolevel:10", "  16384  |XXXXX     |");
  EXPECT_TRUE(HasLine(r.out, "  16384  |XXXXX     |")) << r.out;
}

TEST_F(VekClientAudio, LevelBarWidthFromTheParameter) {
  const struct {
    const char* word;
    size_t width;
  } cases[] = {{"audiolevel:40/2", 40}, {"audiolevel:/3", 66}, {"audiolevel:0", 66},
               {"audiolevel:abc", 66}, {"audiolevel", 66}};
  for (const auto& c : cases) {
    const ProcessResult r = RunUntil(c.word, "|\n");
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty()) << c.word;
    const std::string& bar = lines.front();
    // "%7d  |" + width characters + "|"
    EXPECT_EQ(bar.size(), 7 + 3 + c.width + 1) << c.word << ": " << bar;
    EXPECT_EQ(bar.back(), '|') << c.word;
  }
}

TEST_F(VekClientAudio, CheckInputShowsTheFileWhileItExists) {
  const std::string signal_file = dir_ / "carrier";
  WriteFile(signal_file, "");
  const ProcessResult r = RunUntil("checkinput:FILE:" + signal_file, "FILE");
  bool shown = false;
  for (const std::string& line : UnstampedLines(r.out)) shown |= line == "FILE";
  EXPECT_TRUE(shown) << r.out;
}

TEST_F(VekClientAudio, CheckInputVoxFollowsATone) {
  // Half a second of silence, a second of a sox tone, then silence.
  const std::string tone = dir_ / "tone.raw";
  SoxTone(tone, "-r 8000 -c 1 -b 16 -e signed-integer -t raw", 1.0);
  std::vector<int16_t> samples(4000, 0);
  const std::vector<int16_t> sine = TAlsaTestDevices::ReadRaw(tone);
  samples.insert(samples.end(), sine.begin(), sine.end());
  sound_.Feed(samples);
  ChildProcess child(VekClientPath(), {"checkinput:VOX:250", config_});
  ASSERT_TRUE(child.WaitForOutput(": VOX\n")) << child.Out() << child.Err();
  // After the tone the wire goes quiet again.
  const size_t on = child.Out().find(": VOX\n");
  const bool off_again = WaitUntil([&] {
    for (const std::string& line : Lines(child.Out().substr(on)))
      if (Unstamped(line).empty() && line.size() >= 24) return true;
    return false;
  });
  EXPECT_TRUE(off_again) << child.Out();
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait().exit_code, 0);
}

TEST_F(VekClientAudio, CheckInputErrorsEndWithThree) {
  const struct {
    std::string word;
    std::string err;
  } cases[] = {
      {"checkinput", "EVEKRunError: invalid command format: checkinput\n"},
      {"checkinput:COM", "EVEKRunError: invalid command format: COM\n"},
      {"checkinput:FOO:x", "EVEKRunError: unknown interface type: FOO\n"},
      {"checkinput:FILE:x:FILE:SIDEWAYS", "EVEKRunError: invalid wire mode: SIDEWAYS\n"},
      {"checkinput:COM:" + dir_ / "no-such-port", "Exception: OPEN DEVICE: " + dir_ / "no-such-port: "},
      {"checkinput:VOX:abc", "Exception: "},
  };
  for (const auto& c : cases) {
    const ProcessResult r = Run({c.word, config_});
    EXPECT_EQ(r.exit_code, 3) << c.word << "\n" << r.out << r.err;
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.word << ": " << r.err;
  }
}

}  // namespace
}  // namespace vektest

#include "station/portaudio.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "support/alsa_devices.h"

namespace {

TEST(DeviceNames, EqualNamesAreNumberedPerTable) {
  using V = std::vector<std::u16string>;
  struct Case {
    V in, want;
  } cases[] = {
      {{u"A", u"B", u"A", u"A"}, {u"A {1}", u"B", u"A {2}", u"A {3}"}},
      {{u"X"}, {u"X"}},
      {{}, {}},
      // Already numbered names are neither changed nor counted.
      {{u"A {1}", u"A", u"A"}, {u"A {1}", u"A {1}", u"A {2}"}},
      {{u"A {2}x", u"A {2}x"}, {u"A {2}x", u"A {2}x"}},
      // "{0}" and "{" without digits do not count as numbered.
      {{u"A {0}", u"A {0}", u"B{", u"B{"}, {u"A {0} {1}", u"A {0} {2}", u"B{ {1}", u"B{ {2}"}},
      {{u"a", u"A"}, {u"a", u"A"}},  // case-sensitive
  };
  for (const auto& c : cases) EXPECT_EQ(VekMakeUniqueDeviceNames(c.in), c.want);
}

TEST(PortAudioBinding, HostApisAndTexts) {
  EXPECT_TRUE(VekAcceptedHostApi("OSS"));
  EXPECT_TRUE(VekAcceptedHostApi("ALSA"));
  EXPECT_FALSE(VekAcceptedHostApi("JACK Audio Connection Kit"));
  EXPECT_FALSE(VekAcceptedHostApi("oss"));
  EXPECT_FALSE(VekAcceptedHostApi(nullptr));
  EXPECT_EQ(PaOpenErrorText(paInvalidSampleRate, 44100.0), "Invalid sample rate: 44100");
  EXPECT_EQ(PaOpenErrorText(paInvalidSampleRate, 22050.5), "Invalid sample rate: 22050.5");
  EXPECT_EQ(PaOpenErrorText(paInvalidDevice, 8000), "Invalid device");
  EXPECT_EQ(PaErrorTextW(paNoError), u"Success");
}

class PortAudioDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = alsa_.PathOf("in.raw");
    TAlsaTestDevices::WriteRaw(source_, TAlsaTestDevices::Sine(0.5, 1000, 8000, 8000));
    alsa_.AddCapture("vekcap", source_);
    alsa_.AddPlayback("vekplay", alsa_.PathOf("out.raw"));
    alsa_.Install();
    rt_ = std::make_unique<TVEKAudioRT>();
  }
  TAlsaTestDevices alsa_;
  std::string source_;
  std::unique_ptr<TVEKAudioRT> rt_;
};

TEST_F(PortAudioDevices, TablesListTheTestDevices) {
  auto in = rt_->GetInputDeviceNames();
  auto out = rt_->GetOutputDeviceNames();
  EXPECT_EQ(static_cast<int>(in.size()), rt_->GetInputDeviceCount());
  EXPECT_EQ(static_cast<int>(out.size()), rt_->GetOutputDeviceCount());
  // The file PCMs both capture and play, so each is in both tables under
  // one display name.
  for (const auto* name : {u"ALSA:vekcap", u"ALSA:vekplay"}) {
    EXPECT_GE(rt_->FindInputDevice(name), 0);
    EXPECT_EQ(rt_->FindInputDevice(name), rt_->FindOutputDevice(name));
  }
  EXPECT_EQ(rt_->FindInputDevice(u"ALSA:VEKCAP"), -1);
  EXPECT_EQ(rt_->FindInputDevice(u"vekcap"), -1);
  EXPECT_EQ(rt_->FindInputDeviceAlt(u"ALSA:vekcap"), rt_->FindInputDevice(u"ALSA:vekcap"));
  for (const auto& r : rt_->InputDevices()) {
    EXPECT_EQ(r.HostApiName, u"ALSA");
    EXPECT_EQ(r.FullName, u"ALSA:" + r.DeviceName);
    const PaDeviceInfo* info = PaGetDeviceInfoChecked(r.DeviceIndex);
    EXPECT_GT(info->maxInputChannels, 0);
  }
  // A rebuild gives the same tables.
  rt_->RefreshDevices();
  EXPECT_EQ(rt_->GetInputDeviceNames(), in);
}

TEST_F(PortAudioDevices, RebuildsAndLookupsMayRunOnTwoThreads) {
  int index = rt_->FindInputDevice(u"ALSA:vekcap");
  ASSERT_GE(index, 0);
  std::thread other([&] {
    for (int i = 0; i < 20; ++i) rt_->RefreshDevices();
  });
  for (int i = 0; i < 200; ++i) {
    auto g = rt_->Lock();
    EXPECT_EQ(rt_->FindInputDevice(u"ALSA:vekcap"), index);
  }
  other.join();
}

TEST_F(PortAudioDevices, CheckedCallsRaiseWithTheirTexts) {
  auto raises = [](auto&& f, const std::string& text) {
    try {
      f();
      ADD_FAILURE() << "no exception, wanted " << text;
    } catch (const EPortAudioException& e) {
      EXPECT_EQ(e.Message(), text);
    }
  };
  raises([] { PaGetDeviceInfoChecked(9999); }, "invalid device index");
  raises([] { PaGetDeviceInfoChecked(-1); }, "invalid device index");
  raises([] { PaGetStreamInfoChecked(nullptr); }, "Invalid PA stream");

  int dev = rt_->FindInputDevice(u"ALSA:vekcap");
  ASSERT_GE(dev, 0);
  PaStreamParameters p = PaMakeStreamParameters(dev, 1, paInt16, 0.05);
  EXPECT_EQ(p.hostApiSpecificStreamInfo, nullptr);
  PaStream* s = reinterpret_cast<PaStream*>(&p);  // must be cleared on failure
  raises([&] { PaOpenStreamChecked(&s, &p, nullptr, 1.0, 320, paClipOff, nullptr, nullptr); },
         "Invalid sample rate: 1");
  EXPECT_EQ(s, nullptr);

  // A working stream: capture from the file is bit-exact.
  PaOpenStreamChecked(&s, &p, nullptr, 8000, 320, paClipOff, nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_GT(PaGetStreamInfoChecked(s)->inputLatency, 0);
  PaStartStreamChecked(s);
  std::vector<int16_t> got(320);
  EXPECT_EQ(Pa_ReadStream(s, got.data(), 320), paNoError);
  Pa_CloseStream(s);
  auto want = TAlsaTestDevices::Sine(0.5, 1000, 8000, 8000);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
}

TEST(PortAudioBinding, HostErrorOfAnAbsentHostApiHasNoName) {
  // The index lookup of a host API that is not built in is negative; the
  // name is then left empty rather than read from a bad index.
  TAlsaTestDevices alsa;
  alsa.Install();
  TVEKAudioRT rt;
  EXPECT_EQ(PaHostErrorSuffix(paCoreAudio, -50, "bad"), "; : error -50: bad");
  EXPECT_EQ(PaHostErrorSuffix(paALSA, -22, ""), "; ALSA: error -22");
  EXPECT_EQ(PaHostErrorSuffix(paALSA, 5, "Input/output error"),
            "; ALSA: error 5: Input/output error");
}

}  // namespace

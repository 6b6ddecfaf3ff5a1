#include "support/engine_voice_rig.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "foundation/types.h"
#include "support/test_files.h"

namespace vektest {

// ---------------------------------------------------------------------------
// SignalFileWatch

SignalFileWatch::SignalFileWatch(std::string path) : path_(std::move(path)) {
  thread_ = std::thread([this] { Run(); });
}

SignalFileWatch::~SignalFileWatch() {
  stop_ = true;
  thread_.join();
}

void SignalFileWatch::Run() {
  const size_t slash = path_.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash);
  const std::string name = path_.substr(slash + 1);
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM);
  bool last = false;
  auto note = [&](bool on) {
    if (on == last) return;
    std::lock_guard<std::mutex> g(lock_);
    changes_.push_back({on, Clock::now()});
    last = on;
  };
  struct stat st {};
  note(stat(path_.c_str(), &st) == 0);
  alignas(inotify_event) char events[4096];
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5) <= 0) continue;
    const ssize_t n = read(fd, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(events + at);
      if (ev->len > 0 && name == ev->name) note((ev->mask & (IN_CREATE | IN_MOVED_TO)) != 0);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  close(fd);
}

std::vector<SignalFileWatch::Clock::time_point> SignalFileWatch::Times(bool on) const {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<Clock::time_point> times;
  for (auto& c : changes_)
    if (c.first == on) times.push_back(c.second);
  return times;
}

bool SignalFileWatch::On() const {
  std::lock_guard<std::mutex> g(lock_);
  return !changes_.empty() && changes_.back().first;
}

SignalFileWatch::Clock::time_point SignalFileWatch::FirstOn() const {
  const auto ons = Times(true);
  return ons.empty() ? Clock::time_point::max() : ons.front();
}

// ---------------------------------------------------------------------------
// EngineVoiceRig

EngineVoiceRig::EngineVoiceRig(const Options& options) : opt(options) {
  const std::string cap = alsa.MakeFifo("cap.fifo");
  const std::string play = alsa.MakeFifo("play.fifo");
  alsa.AddCapture("cap", cap);
  alsa.AddPlayback("play", play);
  alsa.Install();
  drainer = std::make_unique<TFifoDrainer>(play, opt.out_rate);
  feeder = std::make_unique<TFifoFeeder>(cap, opt.capture, 8000, 320 * opt.in_factor);
  rt = std::make_unique<TVEKAudioRT>();
  rig.audio_rt = rt.get();
  TVEKAudioParams& a = rig.setup.Audio;
  a.InDevice = u"ALSA:cap";
  a.OutDevice = opt.play_device ? u"ALSA:play" : u"ALSA:none";
  a.InSampleRate = 8000;
  a.OutSampleRate = opt.out_rate;
  a.InFactor = opt.in_factor;
  a.OutFactor = 1;
  for (bool& on : rig.setup.Sounds.Enabled) on = false;
  VekDefaultAccount(account);
  account.Callsign = opt.callsign;
  account.CharsetName = u"ASCII";
  info = std::make_unique<TVEKLoginInfo>(account);
}

EngineVoiceRig::~EngineVoiceRig() { Stop(); }

void EngineVoiceRig::Stop() {
  rig.Destroy();
  if (fake) fake->Stop();
}

std::string EngineVoiceRig::Start(std::vector<Script> scripts, const std::function<void(TVEKManager&)>& before_run) {
  std::string failed;
  fake = std::make_unique<FakeVekServer>(std::move(scripts));
  server.SetMainServer(u"127.0.0.1", fake->Port());
  TVEKManager& e = rig.Create(opt.engine_options);
  for (int line : opt.lines) {
    std::u16string error;
    if (!e.CreateSignalLine(line, u"FILE:" + DaxAnsiToUnicodeRaw(LinePath(line)), error))
      failed += "line " + LinePath(line) + ": " + Narrow(error) + "; ";
  }
  for (int line : opt.watched) watches_[line] = std::make_unique<SignalFileWatch>(LinePath(line));
  e.SetPlayDelay(opt.play_delay);
  e.SetLoginInfo(info.get());
  e.SetServerEntry(&server);
  e.SetNetwork(u"Test");
  if (before_run) before_run(e);
  e.WaitThreadsStarted();
  e.SetRunState(true);
  if (opt.online) {
    e.SetOnline(true);
    if (!rig.PumpUntil("SessionInitiated")) failed += "no session";
  }
  return failed;
}

std::string EngineVoiceRig::LinePath(int line) const {
  static const char* const kNames[msig_Count] = {"ptt", "cos", "light"};
  return rig.Path(kNames[line]);
}

void EngineVoiceRig::Cos(bool on) {
  if (on)
    WriteFile(LinePath(msig_COS), "");
  else
    std::remove(LinePath(msig_COS).c_str());
}

int EngineVoiceRig::Lines(const std::string& text) const {
  const auto lines = fake->Lines();
  return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

bool EngineVoiceRig::WaitLines(const std::string& text, int n, uint32_t ms) {
  return rig.Pump([&] { return Lines(text) >= n; }, ms);
}

std::vector<int16_t> EngineVoiceRig::Sent() const {
  std::vector<int16_t> pcm;
  for (const auto& it : fake->Items())
    if (it.kind == ItemKind::TxPacket) pcm.insert(pcm.end(), it.pcm.begin(), it.pcm.end());
  return pcm;
}

}  // namespace vektest

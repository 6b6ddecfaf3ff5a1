#include "support/engine_rig.h"

#include <chrono>

#include "foundation/buffer_ptr.h"
#include "foundation/clock.h"
#include "foundation/pool_buffers.h"
#include "foundation/types.h"
#include "net/qflat.h"
#include "station/paudio.h"
#include "station/sound_reader.h"

namespace vektest {

std::string Narrow(const std::u16string& s) { return DaxUnicodeToAnsiRaw(s); }

EngineRig::EngineRig() {
  // The engine is handed this (empty) file as its configuration file.
  WriteFile(dir / "vek.cfg", "");
  const std::u16string home = DaxAnsiToUnicodeRaw(dir.path());
  VekSetupDefaults(setup, home, home, home);
  setup.System.TempDir = home;
  seams.Clock = [this] { return Clock(); };
}

EngineRig::~EngineRig() { Destroy(); }

TVEKManagerSections EngineRig::Sections() { return VekManagerSections(setup); }

void EngineRig::UseManualClock(uint32_t start) {
  clock_ms_.store(start);
  manual_clock_.store(true);
}

uint32_t EngineRig::Clock() const { return manual_clock_.load() ? clock_ms_.load() : DaxTickMs(); }

TVEKManager& EngineRig::Create(uint32_t options, const std::function<void(TVEKManager&)>& customize) {
  Destroy();
  engine_ = std::make_unique<TVEKManager>(
      options, audio_rt, Sections(), DaxAnsiToUnicodeRaw(dir / "vek.cfg"),
      [&](TVEKManager& e) {
        InstallOwnerCallbacks(e);
        if (customize) customize(e);
      },
      seams);
  return *engine_;
}

void EngineRig::Destroy() { engine_.reset(); }

bool EngineRig::Pump(const std::function<bool()>& done, uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  // What the loop saw counts: a sum over several queues (PoolBlocks) can dip
  // again at once while a worker moves blocks between them.
  bool seen = false;
  engine_->Dispatcher().WaitServing(
      [&] { return (seen = done()) || std::chrono::steady_clock::now() >= deadline; }, 5);
  return seen || done();
}

void EngineRig::PumpFor(uint32_t ms) {
  Pump([] { return false; }, ms);
}

bool EngineRig::PumpUntil(const std::string& prefix, uint32_t timeout_ms) {
  return Pump([&] { return CountOf(prefix) > 0; }, timeout_ms);
}

int EngineRig::CountOf(const std::string& prefix) const {
  int n = 0;
  for (const std::string& e : log.Events())
    if (e.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

int EngineRig::PoolBlocks() const {
  TVEKManager& e = *engine_;
  int n = e.Pool()->Buffers().Count() + e.CapturedRing()->Count() + e.SoundReader()->AvailableFrames();
  if (e.Audio()) n += e.Audio()->QueueCount();
  const TVEKQueueFlat& q = *e.PlayerQueue();
  n += q.Count() - q.PlayStartCount() - q.PlayStopCount();
  return n;
}

void EngineRig::Record(std::string e) {
  if (std::this_thread::get_id() != owner_) off_thread_.fetch_add(1);
  log.Add(std::move(e));
}

void EngineRig::InstallOwnerCallbacks(TVEKManager& e) {
  auto plain = [this](const char* name) { return [this, name] { Record(name); }; };
  auto text = [this](const char* name) {
    return [this, name](const std::u16string& t) { Record(std::string(name) + ":" + Narrow(t)); };
  };
  auto count = [this](const char* name) {
    return [this, name](int32_t n) { Record(std::string(name) + ":" + std::to_string(n)); };
  };
  // The engine itself, not engine_: callbacks also run while it is destroyed.
  auto fifo = [this, &e](const char* name, bool (TVEKManager::*pop)(std::u16string&)) {
    TVEKManager* engine = &e;
    return [this, engine, name, pop] {
      std::u16string line;
      while ((engine->*pop)(line)) Record(std::string(name) + ":" + Narrow(line));
    };
  };
  auto host_port = [this](const char* name) {
    return [this, name](const std::u16string& host, int32_t port) {
      Record(std::string(name) + ":" + Narrow(host) + ":" + std::to_string(port));
    };
  };
  auto text_detail = [this](const char* name) {
    return [this, name](const std::u16string& t, const std::u16string& d) {
      Record(std::string(name) + ":" + Narrow(t) + "|" + Narrow(d));
    };
  };
  auto stats = [this](const char* name) {
    return [this, name](const TVEKLoopStats&) { Record(name); };
  };
  e.OnReopenLog = plain("ReopenLog");
  e.OnInfoText = fifo("InfoText", &TVEKManager::PopInfoText);
  e.OnWarningText = fifo("WarningText", &TVEKManager::PopWarningText);
  e.OnErrorText = fifo("ErrorText", &TVEKManager::PopErrorText);
  e.OnRecorderFileWritten = fifo("RecorderFile", &TVEKManager::PopRecorderFileName);
  e.OnProxyConnecting = [this](uint8_t kind, const std::u16string& host, int32_t port) {
    Record("ProxyConnecting:" + std::to_string(kind) + ":" + Narrow(host) + ":" + std::to_string(port));
  };
  e.OnProxyConnected = plain("ProxyConnected");
  e.OnProxyError = [this](uint8_t kind, const std::u16string& t) {
    Record("ProxyError:" + std::to_string(kind) + ":" + Narrow(t));
  };
  e.OnServerConnecting = host_port("ServerConnecting");
  e.OnServerConnected = plain("ServerConnected");
  e.OnServerConnectError = text("ServerConnectError");
  e.OnProtocolError = text_detail("ProtocolError");
  e.OnAnswerInvalidPassword = [this](uint8_t step, const std::u16string& d, const std::u16string& t) {
    Record("AnswerInvalidPassword:" + std::to_string(step) + ":" + Narrow(d) + "|" + Narrow(t));
  };
  e.OnAnswerAccountBlocked = text("AnswerAccountBlocked");
  e.OnAnswerUnknownError = text("AnswerUnknownError");
  e.OnBackupServerMode = [this](bool on) { Record(std::string("BackupServerMode:") + (on ? "1" : "0")); };
  e.OnPeerDisconnected = plain("PeerDisconnected");
  e.OnDisconnecting = plain("Disconnecting");
  e.OnDisconnected = plain("Disconnected");
  e.OnDynPassRequestStart = plain("DynPassRequestStart");
  e.OnDynPassConnecting = host_port("DynPassConnecting");
  e.OnDynPassConnected = plain("DynPassConnected");
  e.OnDynPassError = text_detail("DynPassError");
  e.OnDynPassInvalidStaticPassword = text("DynPassInvalidStaticPassword");
  e.OnStaticPasswordRequested = text("StaticPasswordRequested");
  e.OnDynamicPasswordRequested = text("DynamicPasswordRequested");
  e.OnNewStaticPasswordSent = plain("NewStaticPasswordSent");
  e.OnGotDynamicPassword = text("GotDynamicPassword");
  e.OnSaveDynamicPassword = [this](const std::u16string& m, const std::u16string& s, const std::u16string& p) {
    Record("SaveDynamicPassword:" + Narrow(m) + ":" + Narrow(s) + ":" + Narrow(p));
  };
  e.OnHandshakeRequest = [this](int32_t v, const std::u16string& t) {
    Record("HandshakeRequest:" + std::to_string(v) + ":" + Narrow(t));
  };
  e.OnHandshaked = [this](int32_t last, int32_t server, const std::u16string& t) {
    Record("Handshaked:" + std::to_string(last) + ":" + std::to_string(server) + ":" + Narrow(t));
  };
  e.OnLoginPhase1 = plain("LoginPhase1");
  e.OnLoggedInPhase1 = plain("LoggedInPhase1");
  e.OnLoginPhase2 = plain("LoginPhase2");
  e.OnLoggedInPhase2 = plain("LoggedInPhase2");
  e.OnLoginPhase3 = plain("LoginPhase3");
  e.OnLoggedInPhase3 = plain("LoggedInPhase3");
  e.OnSessionInitiated = plain("SessionInitiated");
  e.OnMarkers = plain("Markers");
  e.OnKeepAlive = plain("KeepAlive");
  e.OnMessages = plain("Messages");
  e.OnRxPoolUnderflow = plain("RxPoolUnderflow");
  e.OnAudioPoolUnderflow = plain("AudioPoolUnderflow");
  e.OnAudioHardwareFailure = plain("AudioHardwareFailure");
  e.OnNetworks = count("Networks");
  e.OnBlockedList = count("BlockedList");
  e.OnMutedList = count("MutedList");
  e.OnAdminsList = count("AdminsList");
  e.OnAccessList = count("AccessList");
  e.OnModes = count("Modes");
  e.OnNotices = count("Notices");
  e.OnClientList = plain("ClientList");
  e.OnRxStarted = plain("RxStarted");
  e.OnRxStopped = stats("RxStopped");
  e.OnRxAborted = plain("RxAborted");
  e.OnRxAlignSkipped = count("RxAlignSkipped");
  e.OnTxRequested = plain("TxRequested");
  e.OnTxRejected = plain("TxRejected");
  e.OnTxApproved = plain("TxApproved");
  e.OnTxDataEnded = plain("TxDataEnded");
  e.OnTxStopped = stats("TxStopped");
  e.OnTxAbortedByServer = stats("TxAbortedByServer");
  e.OnCarrierOn = plain("CarrierOn");
  e.OnCarrierOff = plain("CarrierOff");
  e.OnServiceSoundStarted = [this](int32_t) { Record("ServiceSoundStarted"); };
  e.OnServiceSoundStopped = plain("ServiceSoundStopped");
  e.OnExternalSoundStarted = plain("ExternalSoundStarted");
  e.OnExternalSoundStopped = plain("ExternalSoundStopped");
  e.OnExternalSoundAborted = plain("ExternalSoundAborted");
  e.OnServerTimedOut = plain("ServerTimedOut");
  e.OnServerTimeoutHard = plain("ServerTimeoutHard");
  e.OnOnlineChanged = plain("OnlineChanged");
  e.OnCheckServer = [this](uint8_t kind, const std::u16string& host, int32_t port, bool online,
                           const std::u16string& t) {
    Record("CheckServer:" + std::to_string(kind) + ":" + Narrow(host) + ":" + std::to_string(port) + ":" +
           (online ? "1" : "0") + ":" + Narrow(t));
  };
  e.OnServerSwitch = [this](const std::u16string& host, int32_t port, const std::u16string& net) {
    Record("ServerSwitch:" + Narrow(host) + ":" + std::to_string(port) + ":" + Narrow(net));
  };
}

}  // namespace vektest

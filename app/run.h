// The console front end's object between the main program and the engine:
// owns the audio runtime and the engine, writes every log line, reports the
// configuration, starts the engine and waits for it, serves the engine's
// owner callbacks and carries the console commands. Main thread only, but
// RequestStop and RequestLogReopen may come from the signal thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/log_output.h"
#include "engine/mngr.h"
#include "foundation/setup_data.h"

class TVEKAudioRT;
class TVEKLoginInfo;
class TVEKRunCheckInput;
class TVEKServer;

// Options of the runner (the command's flags 0x008, 0x040, 0x080, 0x100).
enum : uint32_t {
  ropt_NoSoundCard = 1u << 0,
  ropt_NoEngine = 1u << 1,
  ropt_NoAbortingLine = 1u << 2,
  ropt_NoTimers = 1u << 3,
};

// The bar of "audiolevel": n of width "X" for a level of 0..32767.
std::u16string VekLevelBarText(uint32_t level, int32_t width);

class TVEKRun {
 public:
  // The light runner: no audio runtime, no engine.
  TVEKRun(TVEKSetupData& setup, TVEKOutputFile* output);
  // The full runner; the options decide about the audio runtime and engine.
  TVEKRun(uint32_t options, TVEKSetupData& setup, const std::u16string& config_file_name,
          TVEKOutputFile* output, bool debug, const TVEKManagerSeams& seams = {});
  ~TVEKRun();
  TVEKRun(const TVEKRun&) = delete;
  TVEKRun& operator=(const TVEKRun&) = delete;

  // Configuration report, start of the engine, wait for its end.
  void Run();
  // Signal thread or main thread: lock- and allocation-light; the reason is
  // kept when one is already set.
  void RequestStop(const std::u16string& reason);
  void RequestLogReopen();
  bool StopRequested() const { return stop_requested_.load(); }
  std::u16string StopReason() const;
  bool CheckConfiguration();
  void SetBackupServer(bool found, const std::u16string& host, int32_t port);

  // Every line goes to the output file's WriteLines: made safe, whole or
  // not at all, never raising.
  void Log(const std::u16string& text);
  void Print(const std::u16string& text);
  void PrintUtf8(const std::u16string& text);

  // Console commands.
  void PrintHelp();
  void PrintHelpCommands();
  void ListAudioDevices();
  void ListAudioDevicesConfig();
  void ListRadioInterfaces();
  void CheckSampleRates(const std::u16string& capture_name, const std::u16string& playback_name);
  void AudioLevel(int32_t width, int32_t meter_mode);
  void CheckInput(const std::u16string& spec);
  // True when the system manager answered that the account is registered.
  bool RegisterAccount(TVEKSetupData& setup);

  TVEKManager* Engine() const { return engine_.get(); }

 private:
  void AssignManagerEvents(TVEKManager& engine);
  void WaitForEngine();
  void HandOverConfiguration();
  // The server entry of [Server] and the backup server found at the start.
  void MakeServerEntry();
  void LogDtmfCommands();
  void LogRadioStatus();
  void LogLines(const std::vector<std::u16string>& lines);
  void LogAgcLines(const std::u16string& prefix, const TVEKAgcCfgParams& agc);
  void LogAudioReport();
  void TakeNewBackupServer();
  void OnNewBackupServer(const std::u16string& main_host, const std::u16string& backup_host,
                         int32_t main_port, int32_t backup_port);
  void OnReopenLog();
  void OnClientList();
  void OnMessages();
  void OnRxStarted();
  void OnSessionInitiated();
  void OnSaveDynamicPassword(const std::u16string& key1, const std::u16string& key2,
                             const std::u16string& password);
  void OnSearchDynamicPassword(const std::u16string& key1, const std::u16string& key2,
                               TVEKLoginInfo& info);
  void OnLevelBar();
  void OnCheckInputLevel();
  void StopOnAnswer();
  bool AutoReplyAllowed(const std::string& sender_id, uint32_t now);
  // The line, with the network's detail text after it in debug runs.
  std::u16string WithDebugDetail(const std::u16string& line, const std::u16string& detail) const;
  // The line, with the loop counters after it when LogTiming is on.
  std::u16string WithLoopStats(const std::u16string& line, const TVEKLoopStats& stats) const;
  std::u16string SignalStatusLine(const std::u16string& name, TVEKRadioIfcType type,
                                  const std::u16string& device, const std::u16string& wire,
                                  bool inverted, bool open) const;
  void DrainTexts(bool (TVEKManager::*pop)(std::u16string&), const std::u16string& prefix);

  TVEKOutputFile* output_ = nullptr;
  std::unique_ptr<TVEKAudioRT> audio_rt_;
  std::unique_ptr<TVEKManager> engine_;
  TVEKManager* events_ = nullptr;  // the engine the owner callbacks serve
  std::unique_ptr<TVEKServer> server_;
  std::unique_ptr<TVEKLoginInfo> login_info_;
  bool backup_found_ = false;
  TVEKSetupData* setup_;
  TVEKManagerSections sections_;
  std::atomic<bool> stop_requested_{false};
  std::u16string backup_host_;
  int32_t backup_port_ = 0;
  bool debug_ = false;
  mutable std::mutex stop_lock_;
  std::u16string stop_reason_;
  std::unique_ptr<TVEKRunCheckInput> check_input_;
  uint8_t stop_on_manager_answer_ = 0;
  bool registered_ = false;
  bool online_ = false;
  int32_t bar_width_ = 66;
  // A backup server announced in the protocol thread, taken over by the
  // main thread while it waits.
  std::mutex backup_lock_;
  bool backup_pending_ = false;
  std::u16string pending_main_host_, pending_backup_host_;
  int32_t pending_main_port_ = 0, pending_backup_port_ = 0;
  // Last automatic reply per sender: two gateways answering each other
  // would otherwise never stop.
  std::map<std::string, uint32_t> auto_replies_;
};

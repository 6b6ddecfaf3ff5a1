// Running the vekclient program in tests: where the built program and tools
// are, a private copy of the program (for a ".debug" marker or names
// relative to its directory), and configuration files written from a table.
// Header-only: the paths come from the test program's own definitions.
#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/alsa_devices.h"
#include "support/child_process.h"
#include "support/test_files.h"

namespace vektest {

inline std::string BuiltPath(const std::string& relative) {
#ifdef VEK_BINARY_DIR
  return std::string(VEK_BINARY_DIR) + "/" + relative;
#else
  return relative;
#endif
}
inline std::string VekClientPath() { return BuiltPath("app/vekclient"); }
inline std::string TestServerPath() { return BuiltPath("tools/vek_test_server/vek_test_server"); }
inline std::string PipePacerPath() { return BuiltPath("tools/vek_pipe_pacer/vek_pipe_pacer"); }

// A copy of the program in `dir`; returns its path.
inline std::string CopyVekClient(const std::string& dir) {
  const std::string copy = dir + "/vekclient";
  WriteFile(copy, ReadFile(VekClientPath()));
  chmod(copy.c_str(), 0755);
  return copy;
}

// A server that logs the program in, lists two clients ("Clients: 2" in
// the log) and then only keeps the link alive: the program idles.
inline constexpr char kIdleLoginScript[] = R"(login SV=2014000 AL=OK MT=Welcome NT=Test ID=1
skip-acks on
clients tlv 1:TEST1:Here 2:TEST2:There
keepalives 2000
loop
sleep 5000
)";

// section -> key -> value, written in order of the sections' names.
using IniTable = std::map<std::string, std::map<std::string, std::string>>;

// Everything a run needs, with every written file inside `dir`.
inline IniTable BaseConfig(const std::string& dir, int server_port = 5200) {
  IniTable t;
  t["Auth"] = {{"Callsign", "TE5T"}, {"OperatorName", "Tester"},
               {"EMailAddress", "tester@example.invalid"}, {"Password", "secret"},
               {"City", "Testtown"}, {"Country", "Testland"}, {"ClientType", "PC"}};
  t["Server"] = {{"ServerAddress", "127.0.0.1"}, {"ServerPort", std::to_string(server_port)},
                 {"CheckServerInterval", "0"}};
  t["Manager"] = {{"DynamicPasswordMode", "NO"}};
  t["System"] = {{"WriteDir", dir},
                 {"LogFile", dir + "/vekclient.log"},
                 {"PidFile", dir + "/vekclient.pid"},
                 {"TempDir", dir}};
  t["Hours"] = {{"Enabled", "no"}};
  t["Informer"] = {{"Enabled", "no"}};
  return t;
}

inline void WriteIni(const std::string& path, const IniTable& table) {
  std::string text;
  for (const auto& [section, keys] : table) {
    text += "[" + section + "]\n";
    for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
  }
  WriteFile(path, text);
}

// Lines of a text, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// A log line without its "YYYY-MM-DD hh:mm:ss.zzz: " stamp (25 characters);
// a line without a stamp comes back unchanged.
inline std::string Unstamped(const std::string& line) {
  if (line.size() >= 25 && line[4] == '-' && line[10] == ' ' && line[23] == ':')
    return line.substr(25);
  return line;
}

inline std::vector<std::string> UnstampedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (const std::string& line : Lines(text)) lines.push_back(Unstamped(line));
  return lines;
}

// The sound card of a run: ALSA file PCMs "vekcap" and "vekplay" on named
// pipes, the capture fed with `samples` (then silence) and the playback
// drained, both in real time at 8000 Hz.
struct PacedSoundCard {
  explicit PacedSoundCard(std::vector<int16_t> samples = {}) {
    const std::string playback = alsa.MakeFifo("playback");
    capture = alsa.MakeFifo("capture");
    alsa.AddCapture("vekcap", capture);
    alsa.AddPlayback("vekplay", playback);
    alsa.Install();
    Feed(std::move(samples));
    drainer = std::make_unique<TFifoDrainer>(playback, 8000);
  }
  // Feeds `samples` from now on.
  void Feed(std::vector<int16_t> samples) {
    feeder.reset();
    feeder = std::make_unique<TFifoFeeder>(capture, std::move(samples), 8000, 320);
  }
  // The [Audio] keys that use it.
  static std::map<std::string, std::string> AudioSection() {
    return {{"InDevice", "ALSA:vekcap"}, {"OutDevice", "ALSA:vekplay"}, {"InSampleRate", "8000"},
            {"OutSampleRate", "8000"},   {"InFactor", "1"},             {"OutFactor", "1"}};
  }

  TAlsaTestDevices alsa;  // first: the pipes live in its folder
  std::string capture;
  std::unique_ptr<TFifoFeeder> feeder;
  std::unique_ptr<TFifoDrainer> drainer;
};

}  // namespace vektest

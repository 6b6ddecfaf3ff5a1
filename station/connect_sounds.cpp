#include "station/connect_sounds.h"

#include <sys/stat.h>

#include <cerrno>

#include "foundation/charset.h"
#include "foundation/paths.h"
#include "foundation/tags.h"
#include "foundation/types.h"

TVEKConnectSounds::TVEKConnectSounds(const std::u16string& path)
    : path_(path), path_sys_(DaxHookUnicodeToSys(path)) {}

void TVEKConnectSounds::Refresh() {
  try {
    struct stat st;
    if (::stat(path_sys_.c_str(), &st) != 0) DaxCheckFileOpenError(errno, path_sys_);
    // A directory, and anything else that is no plain file (a named pipe
    // would block the engine in open), is not the table.
    if (!S_ISREG(st.st_mode)) DaxCheckFileOpenError(2, path_sys_);
    if (loaded_ && st.st_mtim.tv_sec == search_.ModifiedSec &&
        st.st_mtim.tv_nsec == search_.ModifiedNsec)
      return;
    search_.Name = path_sys_;
    search_.Size = st.st_size;
    search_.ModifiedSec = st.st_mtim.tv_sec;
    search_.ModifiedNsec = static_cast<int32_t>(st.st_mtim.tv_nsec);
    loaded_ = true;
    sounds_.clear();
    Load();
  } catch (const std::exception& e) {
    if (OnConnectSoundError) OnConnectSoundError(DaxHookSysToUnicode(e.what()));
  }
}

void TVEKConnectSounds::Load() {
  TDaxTextFile f;
  DaxResetTextBuffered(f, path_sys_, kReadBufferSize);
  bool first = true;
  std::string line;
  while (!DaxTextEof(f)) {
    DaxTextReadLine(f, line);
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    line = DaxTrim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (DaxFieldCount(line, '|') < 4) continue;
    std::string host, port_text, network, file;
    DaxGetField(line, '|', 1, host);
    DaxGetField(line, '|', 2, port_text);
    DaxGetField(line, '|', 3, network);
    DaxGetField(line, '|', 4, file);
    int32_t port = 0;
    port_text = DaxTrim(port_text);
    // "0", like an empty field, stands for any port.
    int32_t zero = -1;
    bool any_port = port_text.empty() || (DaxTryStrToInt(port_text, zero) && zero == 0);
    if (!any_port && !VekTryParsePortA(port_text, port)) continue;
    file = DaxTrim(file);
    if (file.empty()) continue;
    TVEKConnectSoundRec rec;
    rec.FileName = DaxUtf8ToUnicode(file);
    rec.Port = port;
    rec.Host = DaxUpperCaseAsciiW(DaxUtf8ToUnicode(DaxTrim(host)));
    rec.Network = DaxUtf8ToUnicode(DaxTrim(network));
    rec.NetworkUpper = DaxUpperCaseAsciiW(rec.Network);
    sounds_.push_back(std::move(rec));
  }
  DaxCloseTextFile(f);
}

bool TVEKConnectSounds::FindSound(const std::u16string& host, int32_t port,
                                  const std::u16string& network, std::u16string& file_name) {
  Refresh();
  std::u16string host_upper = DaxUpperCaseAsciiW(host);
  std::u16string network_upper = DaxUpperCaseAsciiW(network);
  for (const TVEKConnectSoundRec& rec : sounds_) {
    if (!rec.Host.empty() && rec.Host != host_upper) continue;
    if (rec.Port != 0 && rec.Port != port) continue;
    if (!rec.Network.empty() && rec.Network != network && rec.NetworkUpper != network_upper)
      continue;
    file_name = rec.FileName;
    return true;
  }
  return false;
}

std::u16string VekConnectSoundsPath(const std::u16string& setting,
                                    const std::u16string& program_dir) {
  std::u16string name = setting.empty() ? std::u16string(u"connsounds.cfg") : setting;
  std::u16string stripped = DaxExcludeTrailingSlashesW(name);
  if (stripped.empty()) stripped.assign(1, u'/');
  return DaxResolvePath(stripped, program_dir);
}

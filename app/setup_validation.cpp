#include "app/setup_validation.h"

#include "foundation/tags.h"
#include "foundation/types.h"

std::u16string VekFirstSetupError(const TVEKSetupData& s) {
  if (DaxTrimW(s.Server.ServerAddress).empty()) return u"VEK server address is not defined";
  if (s.Server.ServerPort < 1) return u"VEK server port is not defined";
  if (s.Manager.DynamicPasswordMode != dpm_NO) {
    if (DaxTrimW(s.Manager.ManagerAddress).empty())
      return u"VEK system manager address is not defined";
    if (s.Manager.ManagerPort < 1) return u"VEK system manager port is not defined";
  }
  if (s.Internet.ProxyType == VEK_PROXY_TYPE_HTTP) {
    if (DaxTrimW(s.Internet.ProxyAddress).empty()) return u"Proxy server address is not defined";
    if (s.Internet.ProxyPort < 1) return u"Proxy server port is not defined";
  }
  if (s.Server.BackupServerMode == bsm_FORCED) {
    if (DaxTrimW(s.Server.ForcedBackupServerAddress).empty())
      return u"Forced backup server address is not defined";
    if (s.Server.ForcedBackupServerPort < 1) return u"Forced backup server port is not defined";
  }
  return {};
}

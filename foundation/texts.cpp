#include "foundation/texts.h"

#include "foundation/exception.h"
#include "foundation/tags.h"
#include "foundation/types.h"

namespace {

// Joins a and b with sep when both are set, else whichever is set.
std::u16string JoinSet(const std::u16string& a, const std::u16string& b, const char16_t* sep) {
  if (!a.empty() && !b.empty()) return a + sep + b;
  return a.empty() ? b : a;
}

}  // namespace

std::u16string VekMsgInvalidPassword() { return u"INVALID PASSWORD"; }
std::u16string VekMsgStatic() { return u"Static"; }
std::u16string VekMsgDynamic() { return u"Dynamic"; }
std::u16string VekMsgAccountIsBlocked() { return u"ACCOUNT IS BLOCKED"; }
std::u16string VekMsgAccountIsAlreadyConnected() { return u"ACCOUNT IS ALREADY CONNECTED"; }
std::u16string VekMsgAccountIsBlockedOrInvalidPassword() { return u"ACCOUNT IS BLOCKED or INVALID PASSWORD"; }
std::u16string VekMsgUnknownServerError() { return u"UNKNOWN SERVER ERROR"; }
std::u16string VekMsgNoAccessInfoTag() { return u"No access info tag"; }
std::u16string VekMsgNoServerVersionTag() { return u"No server version tag"; }
std::u16string VekMsgInvalidServerVersion() { return u"Invalid server version"; }
std::u16string VekMsgNoAccessLevelTag() { return u"No access level tag"; }
std::u16string VekMsgUnknownAccessLevel() { return u"Unknown access level"; }
std::u16string VekMsgNoControlValueTag() { return u"No control value tag"; }
std::u16string VekMsgInvalidControlValue() { return u"Invalid control value"; }
std::u16string VekMsgInvalidDefaultProxy() { return u"Invalid default proxy"; }
std::u16string VekMsgInvalidProxyType() { return u"Invalid proxy type"; }
std::u16string VekMsgInvalidServerResponse() { return u"Invalid server response"; }
std::u16string VekMsgInvalidClientMode() { return u"Invalid client mode"; }
std::u16string VekMsgErrorOfConnectingToProxyServer() { return u"Error of connecting to proxy-server"; }
std::u16string VekMsgConnectingToProxyServer() { return u"Connecting to proxy-server"; }
std::u16string VekMsgVekProtocolIsInitiated() { return u"VEK protocol is initiated"; }
std::u16string VekMsgVekProtocolExtensions() { return u"VEK protocol extensions"; }
std::u16string VekMsgRecorderFileIsWritten() { return u"RECORDER: file is written"; }
std::u16string VekMsgConnectedToProxyServer() { return u"Connected to proxy-server"; }
std::u16string VekMsgConnectingToVekSystemManager() { return u"Connecting to VEK System Manager"; }
std::u16string VekMsgConnectedToVekSystemManager() { return u"Connected to VEK System Manager"; }
std::u16string VekMsgVekSystemManagerError() { return u"VEK System Manager error"; }
std::u16string VekMsgConnectingToVekServer() { return u"Connecting to VEK Server"; }
std::u16string VekMsgErrorOfConnectingToVekServer() { return u"Error of connecting to VEK Server"; }
std::u16string VekMsgConnectedToVekServer() { return u"Connected to VEK Server"; }
std::u16string VekMsgInvalidRadioInterfaceConfiguration() { return u"Invalid radio interface configuration"; }
std::u16string VekMsgInvalidRadioInterfaceType() { return u"Invalid radio interface type"; }
std::u16string VekMsgInvalidWireMode() { return u"Invalid wire mode"; }
std::u16string VekMsgRxIsStarted() { return u"RX is started"; }
std::u16string VekMsgRxIsStopped() { return u"RX is stopped"; }
std::u16string VekMsgRxIsAborted() { return u"RX is aborted"; }
std::u16string VekMsgServiceSoundIsStarted() { return u"Service sound is started"; }
std::u16string VekMsgServiceSoundIsStopped() { return u"Service sound is stopped"; }
std::u16string VekMsgExternalSoundIsStarted() { return u"External sound is started"; }
std::u16string VekMsgExternalSoundIsStopped() { return u"External sound is stopped"; }
std::u16string VekMsgExternalSoundIsAborted() { return u"External sound is aborted"; }
std::u16string VekMsgInternal() { return u"INTERNAL"; }
std::u16string VekMsgStarted() { return u"Started"; }
std::u16string VekMsgStopped() { return u"Stopped"; }
std::u16string VekMsgTxIsApprovedAndStarted() { return u"TX is approved and started"; }
std::u16string VekMsgTxIsStopped() { return u"TX is stopped"; }
std::u16string VekMsgTxHaveBeenAbortedByServer() { return u"TX have been aborted by server"; }
std::u16string VekMsgTxDataEnded() { return u"TX data ended"; }
std::u16string VekMsgNetworks() { return u"Networks"; }
std::u16string VekMsgAutomaticPrivateReplyIsSent() { return u"Automatic private reply is sent"; }
std::u16string VekMsgPublic() { return u"Public"; }
std::u16string VekMsgPrivate() { return u"Private"; }
std::u16string VekMsgMessageFrom() { return u"message from"; }
std::u16string VekMsgRxBufferPoolUnderflow() { return u"RX: Buffer pool underflow"; }
std::u16string VekMsgAudioBufferPoolUnderflow() { return u"Audio: Buffer pool underflow"; }
std::u16string VekMsgAudioHardwareIssuesCheckSoundCardOrPowerSupply() { return u"Audio hardware issues: check sound card or power supply"; }
std::u16string VekMsgServerTimedOut() { return u"Server timed out"; }
std::u16string VekMsgServerTimeoutHard() { return u"Server timeout HARD"; }
std::u16string VekMsgClients() { return u"Clients"; }
std::u16string VekMsgClient() { return u"Client"; }
std::u16string VekMsgBlockedClients() { return u"Blocked clients"; }
std::u16string VekMsgMutedClients() { return u"Muted clients"; }
std::u16string VekMsgAdministrators() { return u"Administrators"; }
std::u16string VekMsgModes() { return u"Modes"; }
std::u16string VekMsgNotices() { return u"Notices"; }
std::u16string VekMsgPlayBufferIsEmpty() { return u"Play buffer is empty"; }
std::u16string VekMsgSilentBlockIsInserted() { return u"Silent block is inserted"; }
std::u16string VekMsgRxIsWaitingPlayStop() { return u"RX is waiting play stop"; }
std::u16string VekMsgPeerDisconnected() { return u"Peer disconnected"; }
std::u16string VekMsgReadTimedOut() { return u"Read timed out"; }
std::u16string VekMsgWriteTimedOut() { return u"Write timed out"; }
std::u16string VekMsgVekServerProtocolError() { return u"VEK server protocol error"; }
std::u16string VekMsgVekServerAnswer() { return u"VEK server answer"; }
std::u16string VekMsgAccessList() { return u"Access list"; }

std::u16string VekMsgNewStaticPasswordWasSentByEmail(const std::u16string& text) {
  return u"New static password was sent by email: " + text;
}

std::u16string VekBackupServerModeText(bool on) {
  return std::u16string(u"Backup server mode: ") + (on ? u"ON" : u"OFF");
}

std::u16string VekConnectingToServerText(const std::u16string& host, int32_t port) {
  return VekMsgConnectingToVekServer() + u": " + VekHostPortText(host, port) + u" ...";
}

std::u16string VekConnectingToProxyText(TVEKProxyType type, const std::u16string& host,
                                        int32_t port) {
  return VekMsgConnectingToProxyServer() + u": " + VekEnumText(type) + u":" +
         VekHostPortText(host, port) + u" ...";
}

std::u16string VekDynPassRequestedText(bool withDetail, const std::u16string& detail) {
  std::u16string s = u"Dynamic password is requested";
  if (withDetail) s += u": " + detail;
  return s;
}

std::u16string VekStaticPassRequestedText(bool withDetail, const std::u16string& detail) {
  std::u16string s = u"Static password is requested";
  if (withDetail) s += u": " + detail;
  return s;
}

std::u16string VekQuotedText(const std::u16string& name, const std::string& value) {
  return name + u": \"" + DaxAnsiToUnicodeRaw(value) + u"\"";
}

std::u16string VekProtoInitiatedText(TVEKBackupMode mode, const std::u16string& host,
                                     const std::string& addressText, int32_t port,
                                     const std::u16string& tail) {
  const std::u16string address = DaxAnsiToUnicodeRaw(addressText);
  std::u16string server;
  if (!address.empty() && DaxUpperCaseAsciiW(address) != DaxUpperCaseAsciiW(host))
    server = host + u"[" + address + u"]:" + DaxIntToStrW(port);
  else
    server = VekHostPortText(host, port);
  return VekMsgVekProtocolIsInitiated() + u": " + VekEnumText(mode) + u": " + server + u":" +
         tail;
}

std::u16string VekProtoExtensionsText(uint32_t serverFlags) {
  std::u16string list;
  auto add = [&list](const std::u16string& item) {
    if (!list.empty()) list += u"; ";
    list += item;
  };
  if ((serverFlags & 3) != 0)
    add(u"ClientList=" + VekEnumText(static_cast<TVEKProtoListFormat>(serverFlags & 3)));
  if (serverFlags & 4) add(u"SoundAck");
  if (serverFlags & 8) add(u"UTF8");
  if (serverFlags & 16) add(u"ShortFrames");
  return VekMsgVekProtocolExtensions() + u": " + list;
}

std::u16string VekAccessInfoText(const std::u16string& text) {
  return u"Access information: " + text;
}

std::u16string VekClientRecText(const TVEKClientRec& rec, char16_t delimiter) {
  // Eight named fields and an empty ninth: the line always has nine fields.
  const std::u16string d(1, delimiter);
  return VekVisibleStatusShortText(static_cast<TVEKVisibleStatus>(rec.VisibleStatus)) + d +
         (rec.MarkM ? u"M" : u"") + d + (rec.MarkLO ? u"LO" : u"") + d + rec.BC + d + rec.DS +
         d + rec.ON + d + rec.CT + d + rec.NN + d;
}

std::u16string VekCheckServerText(int kind, const std::u16string& host, int32_t port,
                                  bool online, const std::u16string& reason) {
  std::u16string s = u"Checking VEK server: ";
  s += kind == 0 ? u"MAIN" : kind == 1 ? u"BACKUP" : u"?";
  s += u": " + VekHostPortText(host, port) + u" is ";
  if (online) return s + u"ONLINE";
  return s + u"OFFLINE: " + reason;
}

std::u16string VekCityText(const TVEKAccount& account) {
  return JoinSet(DaxTrimW(account.City), DaxTrimW(account.CityPart), u" - ");
}

std::u16string VekNameText(const TVEKAccount& account) {
  return JoinSet(DaxTrimW(account.Callsign), DaxTrimW(account.OperatorName), u", ");
}

std::u16string VekClientTypeText(const TVEKAccount& account) {
  switch (account.ClientType) {
    case clt_CROSSLINK: return u"Crosslink";
    case clt_GATEWAY: return DaxTrimW(account.BandChannel);
    case clt_PC: return u"PC Only";
    default: throw Exception("Unknown Account.ClientType");
  }
}

std::u16string VekQuoteIfSpaces(const std::u16string& text) {
  if (text.empty()) return u"\"\"";
  for (char16_t c : text) {
    if (DaxIsUnicodeSpace(c)) return u"\"" + text + u"\"";
  }
  return text;
}

std::u16string VekBracketPair(const std::u16string& a, const std::u16string& b) {
  return u"[" + a + u"/" + b + u"]";
}

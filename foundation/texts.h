// The operator's fixed vocabulary: every status text of the log, the error
// classes and the configuration report, each from one routine, and the few
// texts composed from fixed words and arguments. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types_base.h"

// ---------------------------------------------------------------------------
// Fixed texts.

std::u16string VekMsgInvalidPassword();  // "INVALID PASSWORD"
std::u16string VekMsgStatic();  // "Static"
std::u16string VekMsgDynamic();  // "Dynamic"
std::u16string VekMsgAccountIsBlocked();  // "ACCOUNT IS BLOCKED"
std::u16string VekMsgAccountIsAlreadyConnected();  // "ACCOUNT IS ALREADY CONNECTED"
std::u16string VekMsgAccountIsBlockedOrInvalidPassword();  // "ACCOUNT IS BLOCKED or INVALID PASSWORD"
std::u16string VekMsgUnknownServerError();  // "UNKNOWN SERVER ERROR"
std::u16string VekMsgNoAccessInfoTag();  // "No access info tag"
std::u16string VekMsgNoServerVersionTag();  // "No server version tag"
std::u16string VekMsgInvalidServerVersion();  // "Invalid server version"
std::u16string VekMsgNoAccessLevelTag();  // "No access level tag"
std::u16string VekMsgUnknownAccessLevel();  // "Unknown access level"
std::u16string VekMsgNoControlValueTag();  // "No control value tag"
std::u16string VekMsgInvalidControlValue();  // "Invalid control value"
std::u16string VekMsgInvalidDefaultProxy();  // "Invalid default proxy"
std::u16string VekMsgInvalidProxyType();  // "Invalid proxy type"
std::u16string VekMsgInvalidServerResponse();  // "Invalid server response"
std::u16string VekMsgInvalidClientMode();  // "Invalid client mode"
std::u16string VekMsgErrorOfConnectingToProxyServer();  // "Error of connecting to proxy-server"
std::u16string VekMsgConnectingToProxyServer();  // "Connecting to proxy-server"
std::u16string VekMsgVekProtocolIsInitiated();  // "VEK protocol is initiated"
std::u16string VekMsgVekProtocolExtensions();  // "VEK protocol extensions"
std::u16string VekMsgRecorderFileIsWritten();  // "RECORDER: file is written"
std::u16string VekMsgConnectedToProxyServer();  // "Connected to proxy-server"
std::u16string VekMsgConnectingToVekSystemManager();  // "Connecting to VEK System Manager"
std::u16string VekMsgConnectedToVekSystemManager();  // "Connected to VEK System Manager"
std::u16string VekMsgVekSystemManagerError();  // "VEK System Manager error"
std::u16string VekMsgConnectingToVekServer();  // "Connecting to VEK Server"
std::u16string VekMsgErrorOfConnectingToVekServer();  // "Error of connecting to VEK Server"
std::u16string VekMsgConnectedToVekServer();  // "Connected to VEK Server"
std::u16string VekMsgInvalidRadioInterfaceConfiguration();  // "Invalid radio interface configuration"
std::u16string VekMsgInvalidRadioInterfaceType();  // "Invalid radio interface type"
std::u16string VekMsgInvalidWireMode();  // "Invalid wire mode"
std::u16string VekMsgRxIsStarted();  // "RX is started"
std::u16string VekMsgRxIsStopped();  // "RX is stopped"
std::u16string VekMsgRxIsAborted();  // "RX is aborted"
std::u16string VekMsgServiceSoundIsStarted();  // "Service sound is started"
std::u16string VekMsgServiceSoundIsStopped();  // "Service sound is stopped"
std::u16string VekMsgExternalSoundIsStarted();  // "External sound is started"
std::u16string VekMsgExternalSoundIsStopped();  // "External sound is stopped"
std::u16string VekMsgExternalSoundIsAborted();  // "External sound is aborted"
std::u16string VekMsgInternal();  // "INTERNAL"
std::u16string VekMsgStarted();  // "Started"
std::u16string VekMsgStopped();  // "Stopped"
std::u16string VekMsgTxIsApprovedAndStarted();  // "TX is approved and started"
std::u16string VekMsgTxIsStopped();  // "TX is stopped"
std::u16string VekMsgTxHaveBeenAbortedByServer();  // "TX have been aborted by server"
std::u16string VekMsgTxDataEnded();  // "TX data ended"
std::u16string VekMsgNetworks();  // "Networks"
std::u16string VekMsgAutomaticPrivateReplyIsSent();  // "Automatic private reply is sent"
std::u16string VekMsgPublic();  // "Public"
std::u16string VekMsgPrivate();  // "Private"
std::u16string VekMsgMessageFrom();  // "message from"
std::u16string VekMsgRxBufferPoolUnderflow();  // "RX: Buffer pool underflow"
std::u16string VekMsgAudioBufferPoolUnderflow();  // "Audio: Buffer pool underflow"
std::u16string VekMsgAudioHardwareIssuesCheckSoundCardOrPowerSupply();  // "Audio hardware issues: check sound card or power supply"
std::u16string VekMsgServerTimedOut();  // "Server timed out"
std::u16string VekMsgServerTimeoutHard();  // "Server timeout HARD"
std::u16string VekMsgClients();  // "Clients"
std::u16string VekMsgClient();  // "Client"
std::u16string VekMsgBlockedClients();  // "Blocked clients"
std::u16string VekMsgMutedClients();  // "Muted clients"
std::u16string VekMsgAdministrators();  // "Administrators"
std::u16string VekMsgModes();  // "Modes"
std::u16string VekMsgNotices();  // "Notices"
std::u16string VekMsgPlayBufferIsEmpty();  // "Play buffer is empty"
std::u16string VekMsgSilentBlockIsInserted();  // "Silent block is inserted"
std::u16string VekMsgRxIsWaitingPlayStop();  // "RX is waiting play stop"
std::u16string VekMsgPeerDisconnected();  // "Peer disconnected"
std::u16string VekMsgReadTimedOut();  // "Read timed out"
std::u16string VekMsgWriteTimedOut();  // "Write timed out"
std::u16string VekMsgVekServerProtocolError();  // "VEK server protocol error"
std::u16string VekMsgVekServerAnswer();  // "VEK server answer"
std::u16string VekMsgAccessList();  // "Access list"

// "New static password was sent by email: " + text.
std::u16string VekMsgNewStaticPasswordWasSentByEmail(const std::u16string& text);

// ---------------------------------------------------------------------------
// Composed texts. host:port is VekHostPortText.

// "Backup server mode: ON" / "...: OFF".
std::u16string VekBackupServerModeText(bool on);
// "Connecting to VEK Server: host:port ..."
std::u16string VekConnectingToServerText(const std::u16string& host, int32_t port);
// "Connecting to proxy-server: TYPE:host:port ..."
std::u16string VekConnectingToProxyText(TVEKProxyType type, const std::u16string& host,
                                        int32_t port);
// "Dynamic password is requested" [": " detail].
std::u16string VekDynPassRequestedText(bool withDetail, const std::u16string& detail);
// "Static password is requested" [": " detail].
std::u16string VekStaticPassRequestedText(bool withDetail, const std::u16string& detail);
// name: "value", each byte of value one character.
std::u16string VekQuotedText(const std::u16string& name, const std::string& value);
// "VEK protocol is initiated: MAIN SERVER: host[address]:port:tail", the
// address shown only when it is set and differs from the host.
std::u16string VekProtoInitiatedText(TVEKBackupMode mode, const std::u16string& host,
                                     const std::string& addressText, int32_t port,
                                     const std::u16string& tail);
// "VEK protocol extensions: ClientList=DIFF; SoundAck; UTF8; ShortFrames".
std::u16string VekProtoExtensionsText(uint32_t serverFlags);
// "Access information: " + text.
std::u16string VekAccessInfoText(const std::u16string& text);
// Nine fields joined by delimiter: status, M, LO, BC, DS, ON, CT, NN and an
// empty last field.
std::u16string VekClientRecText(const TVEKClientRec& rec, char16_t delimiter);
// "Checking VEK server: MAIN: host:port is OFFLINE: reason".
std::u16string VekCheckServerText(int kind, const std::u16string& host, int32_t port,
                                  bool online, const std::u16string& reason);
// City and CityPart joined by " - ".
std::u16string VekCityText(const TVEKAccount& account);
// Callsign and OperatorName joined by ", ".
std::u16string VekNameText(const TVEKAccount& account);
// "Crosslink", the trimmed BandChannel, or "PC Only"; raises Exception
// "Unknown Account.ClientType" for any other type.
std::u16string VekClientTypeText(const TVEKAccount& account);
// "" for the empty text, "text" when it holds white space, else the text.
std::u16string VekQuoteIfSpaces(const std::u16string& text);
// "[a/b]".
std::u16string VekBracketPair(const std::u16string& a, const std::u16string& b);

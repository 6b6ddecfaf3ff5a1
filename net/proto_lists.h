// The lists and text messages the VEK server sends after its markers: the
// records, the line parsers of both line formats (tagged pairs and TLV) and
// the readers that take a whole list off the connection.
//
// Readers are plain routines over a connection and the server-charset
// converter; the protocol thread calls them by marker and keeps the results.
// A reader builds its list aside and hands it out only when every line was
// read and parsed, so a failing list leaves the caller's copy alone; the
// client-list changes are the exception: they work on the caller's list in
// place, one line after the other. Every failure is raised: the list errors
// as EVEKErrorListFormat (the caller drops the link), connection failures as
// the connection raised them, and a read cut short by the connection's stop
// request as EVEKErrorProtoStopped. The message reader alone swallows the
// format errors of a message and returns no message.
//
// Counts from the network never size an allocation: a count outside
// 0..kVekListMaxCount fails with the list's count error, arrays grow as lines
// arrive, and the bytes of one list are bounded by kVekListMaxBytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/types_base.h"
#include "net/exception.h"
#include "net/message.h"

class TAnsiUnicodeConverter;
class TVEKConnection;

// A malformed list or message line.
DAX_DECLARE_EXCEPTION(EVEKErrorListFormat, EVEKErrorVEKProtocol);

// One line of a list: at most this many bytes are kept.
constexpr std::int32_t kVekListMaxLineLength = 16384;
// Entries of one list (client indexes on the wire are 16-bit).
constexpr std::int32_t kVekListMaxCount = 65535;
// Line bytes of one list or message.
constexpr std::size_t kVekListMaxBytes = 16u * 1024u * 1024u;

// ---------------------------------------------------------------------------
// Records.

// An entry of the banned or the muted list.
struct TVEKBlockMuteRec {
  std::u16string AI;
  std::u16string NN;
  std::u16string CT;
  std::u16string BC;
  std::u16string ON;
  std::string ID;
  std::uint8_t ClientType = clt_CROSSLINK;  // a TVEKClientType
};
using TVEKBlockMuteArray = std::vector<TVEKBlockMuteRec>;

struct TVEKAdminRec {
  std::u16string NN;
  std::u16string CT;
  std::u16string BC;
  std::u16string ON;
  std::string ID;
  std::uint8_t ClientType = clt_CROSSLINK;
};
using TVEKAdminsArray = std::vector<TVEKAdminRec>;

// An entry of the access list.
struct TVEKRightRec {
  bool AI = false;  // the entry's AI value was '0'
  std::u16string NN;
  std::u16string CT;
  std::u16string BC;
  std::u16string ON;
  std::string ID;
};
using TVEKRightsArray = std::vector<TVEKRightRec>;

using TVEKNetworksArray = std::vector<std::u16string>;
using TVEKNoticesArray = std::vector<std::u16string>;
using TVEKModesArray = std::vector<std::int32_t>;

// ---------------------------------------------------------------------------
// Error raisers.

// "Unknown client list format: " message ": " line.
[[noreturn]] void VekRaiseClientListError(const std::string& message, const std::string& line);
// "Unknown bans/mutes list format: " message.
[[noreturn]] void VekRaiseBlockMuteListError(const std::string& message);
// "Unknown admins list format".
[[noreturn]] void VekRaiseAdminListError();
// "Unknown access list format".
[[noreturn]] void VekRaiseAccessListError();

// ---------------------------------------------------------------------------
// Line parsers. Each fills rec from line (fields the line does not carry
// keep their values) or raises EVEKErrorListFormat.

// The status byte (two hex digits) at offset into rec's visible status, M and
// LO marks, client type and UTF-8 flag; status receives the byte.
void VekParseClientStatus(const std::string& line, std::size_t offset, std::uint8_t& status, TVEKClientRec& rec);
void VekParseClientLineTags(const std::string& line, TVEKClientRec& rec, TAnsiUnicodeConverter& converter);
void VekParseClientLineTlv(const std::string& line, std::size_t offset, TVEKClientRec& rec,
                           TAnsiUnicodeConverter& converter);
void VekParseBlockMuteLineTags(const std::string& line, TVEKBlockMuteRec& rec, TAnsiUnicodeConverter& converter);
void VekParseBlockMuteLineTlv(const std::string& line, TVEKBlockMuteRec& rec, TAnsiUnicodeConverter& converter);
void VekParseAdminLineTags(const std::string& line, TVEKAdminRec& rec, TAnsiUnicodeConverter& converter);
void VekParseAdminLineTlv(const std::string& line, TVEKAdminRec& rec, TAnsiUnicodeConverter& converter);
void VekParseAccessLineTags(const std::string& line, TVEKRightRec& rec, TAnsiUnicodeConverter& converter);
void VekParseAccessLineTlv(const std::string& line, TVEKRightRec& rec, TAnsiUnicodeConverter& converter);

// One change line of the client-list changes, applied to list.
void VekApplyClientListChange(const std::string& line, TVEKClientsArray& list, TAnsiUnicodeConverter& converter);

// ---------------------------------------------------------------------------
// Readers, called after the marker byte. Lines come from conn.ReadLine with
// the connection's read timeout.

// 0x03, 0x83: the 16-bit value, the count line and the entries; list is
// replaced at the end.
void VekReadClientListTags(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKClientsArray& list);
void VekReadClientListTlv(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKClientsArray& list);
// 0x82: list becomes count empty records.
void VekReadClientCount(TVEKConnection& conn, TVEKClientsArray& list);
// 0x84: the 16-bit value, the count line, the change lines applied to list
// one by one (a failing line leaves the earlier ones applied).
void VekReadClientListDiff(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKClientsArray& list);
// 0x08/0x09, 0x86/0x87.
void VekReadBlockMuteListTags(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKBlockMuteArray& list);
void VekReadBlockMuteListTlv(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKBlockMuteArray& list);
// 0x06, 0x88.
void VekReadAdminListTags(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKAdminsArray& list);
void VekReadAdminListTlv(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKAdminsArray& list);
// 0x07, 0x8B.
void VekReadAccessListTags(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKRightsArray& list);
void VekReadAccessListTlv(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKRightsArray& list);
// 0x0A.
void VekReadAccessModes(TVEKConnection& conn, TVEKModesArray& list);
// 0x05: names in UTF-8 when utf8 (SEF bit 3), else the server charset. A
// count that is not a number, or below 1, raises the invalid server response
// ("networks"). The count line is read like the thread's answer lines: the
// caller sets the 8000-ms read timeout and resets the link on a failure.
void VekReadNetworks(TVEKConnection& conn, TAnsiUnicodeConverter& converter, bool utf8, TVEKNetworksArray& list);
// 0x0B (server charset), 0x8A (utf8): as the networks with "notices" and no
// minimum.
void VekReadNotices(TVEKConnection& conn, TAnsiUnicodeConverter& converter, bool utf8, TVEKNoticesArray& list);
// 0x04 (server charset), 0x85 (utf8): one message, or null when the count
// line is unusable or the message is malformed (its lines are still read,
// so the stream stays in step). The sender's name and city come from the
// first entry of clients with the sender's id. Connection failures raise.
std::unique_ptr<TVEKMessage> VekReadTextMessage(TVEKConnection& conn, TAnsiUnicodeConverter& converter, bool utf8,
                                                const TVEKClientsArray& clients);

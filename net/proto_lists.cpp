#include "net/proto_lists.h"

#include <string_view>
#include <utility>

#include "foundation/ansi_unicode_converter.h"
#include "foundation/tags.h"
#include "foundation/types.h"
#include "net/conn.h"
#include "net/proto_types.h"

namespace {

const char kClientCountError[] = "invalid number of lines at list of client";
const char kBansCountError[] = "invalid number of lines at list of bans";
const char kAdminsCountError[] = "invalid number of lines at list of admins";
const char kAccessCountError[] = "invalid number of lines at access list";
const char kModesCountError[] = "invalid number of lines at access mode";

[[noreturn]] void RaiseFormat(const std::string& message) { throw EVEKErrorListFormat(message); }

std::u16string Decode(TAnsiUnicodeConverter& converter, bool utf8, std::string_view bytes) {
  if (bytes.empty()) return {};
  if (utf8) {
    std::u16string out;
    DaxUtf8DecodeW(out, bytes.data(), static_cast<int>(bytes.size()));
    return out;
  }
  return converter.BufToUnicode(bytes.data(), static_cast<int32_t>(bytes.size()));
}

// One line of a list. A peer that closed without that being an error, and a
// stop request, end the list here: the line reader would hand out empty lines
// for ever.
void ReadListLine(TVEKConnection& conn, std::string& line) {
  if (conn.LastReadResult == VEK_RAW_CLOSED && conn.RecvPos() >= conn.RecvFill()) RaiseVekPeerDisconnected();
  conn.ReadLine(line, kVekListMaxLineLength);
  if (conn.Stopping) throw EVEKErrorProtoStopped("read stopped");
}

// The line bytes one list may take.
class TListBudget {
 public:
  explicit TListBudget(const char* error) : error_(error) {}
  void Take(const std::string& line) {
    used_ += line.size() + 1;
    if (used_ > kVekListMaxBytes) RaiseFormat(error_);
  }

 private:
  const char* error_;
  std::size_t used_ = 0;
};

std::int32_t ReadCount(TVEKConnection& conn, const char* error) {
  std::string line;
  ReadListLine(conn, line);
  std::int32_t count = 0;
  if (!DaxTryStrToInt(line, count) || count < 0 || count > kVekListMaxCount) RaiseFormat(error);
  return count;
}

void SkipListHeader(TVEKConnection& conn) {
  std::uint8_t unused[2];
  conn.ReadBuffer(unused, 2);
  if (conn.Stopping) throw EVEKErrorProtoStopped("read stopped");
}

template <class Rec, class Parse>
void ReadList(TVEKConnection& conn, const char* countError, std::vector<Rec>& out, Parse parse) {
  const std::int32_t count = ReadCount(conn, countError);
  std::vector<Rec> list;
  TListBudget budget(countError);
  std::string line;
  for (std::int32_t i = 0; i < count; ++i) {
    ReadListLine(conn, line);
    budget.Take(line);
    Rec rec{};
    parse(line, rec);
    list.push_back(std::move(rec));
  }
  out = std::move(list);
}

// --- TLV -------------------------------------------------------------------

enum TTlvResult { tlv_Value, tlv_End, tlv_BadLength, tlv_Overrun };

// One TLV off the front of rest; the value always lies within rest.
TTlvResult NextTlv(std::string_view& rest, char& tag, std::string_view& value) {
  if (rest.empty()) return tlv_End;
  tag = rest.front();
  rest.remove_prefix(1);
  std::uint32_t length = 0;
  if (!DaxHexLenDecode(rest, length)) return tlv_BadLength;
  if (length > rest.size()) return tlv_Overrun;
  value = rest.substr(0, length);
  rest.remove_prefix(length);
  return tlv_Value;
}

// --- Tagged pairs ----------------------------------------------------------

// A pair at pos in any order; false when none starts there or it is not
// closed.
bool NextPair(const std::string& line, std::size_t& pos, std::string_view& name, std::string_view& value) {
  if (pos >= line.size() || line[pos] != '<') return false;
  const std::size_t gt = line.find('>', pos + 1);
  if (gt == std::string::npos || gt == pos + 1) return false;
  name = std::string_view(line).substr(pos + 1, gt - pos - 1);
  const std::string closing = "</" + std::string(name) + ">";
  const std::size_t end = line.find(closing, gt + 1);
  if (end == std::string::npos) return false;
  value = std::string_view(line).substr(gt + 1, end - gt - 1);
  pos = end + closing.size();
  return true;
}

enum TPairResult { pair_Ok, pair_NotInPlace, pair_NotFound };

// The pair of the given name exactly at pos.
TPairResult ExpectPair(const std::string& line, std::size_t& pos, const char* name, std::string_view& value) {
  const std::string opening = std::string("<") + name + ">";
  if (line.compare(pos, opening.size(), opening) != 0) return pair_NotInPlace;
  const std::string closing = std::string("</") + name + ">";
  const std::size_t start = pos + opening.size();
  const std::size_t end = line.find(closing, start);
  if (end == std::string::npos) return pair_NotFound;
  value = std::string_view(line).substr(start, end - start);
  pos = end + closing.size();
  return pair_Ok;
}

// The pairs of names in this order; false at the first fault.
template <std::size_t N>
bool ExpectPairs(const std::string& line, const char* const (&names)[N], std::string_view (&values)[N]) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < N; ++i)
    if (ExpectPair(line, pos, names[i], values[i]) != pair_Ok) return false;
  return true;
}

bool OneDigit012(std::string_view v, std::uint8_t& value) { return v.size() == 1 && VekDigitTo012(v[0], value); }

int HexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The common head of the banned, muted and administrator TLV lines: the
// charset flag and the client type.
void ParseBlockMuteHead(const std::string& line, bool& utf8, std::uint8_t& clientType) {
  if (line.size() < 4) VekRaiseBlockMuteListError("wrong length");
  if (line[0] != '0' && line[0] != '1') VekRaiseBlockMuteListError("wrong charset flag");
  utf8 = line[0] == '1';
  if (!VekDigitTo012(line[1], clientType)) VekRaiseBlockMuteListError("wrong client type");
}

[[noreturn]] void RaiseBlockMuteInvalidTlv(const std::string& line) {
  VekRaiseBlockMuteListError("Invalid TLV: \"" + line + "\"");
}

}  // namespace

// --- Error raisers ---------------------------------------------------------

void VekRaiseClientListError(const std::string& message, const std::string& line) {
  RaiseFormat("Unknown client list format: " + message + ": " + line);
}

void VekRaiseBlockMuteListError(const std::string& message) {
  RaiseFormat("Unknown bans/mutes list format: " + message);
}

void VekRaiseAdminListError() { RaiseFormat("Unknown admins list format"); }

void VekRaiseAccessListError() { RaiseFormat("Unknown access list format"); }

// --- Client lines ----------------------------------------------------------

void VekParseClientStatus(const std::string& line, std::size_t offset, std::uint8_t& status, TVEKClientRec& rec) {
  const int high = offset < line.size() ? HexNibble(line[offset]) : -1;
  if (high < 0) VekRaiseClientListError("Invalid 1st nibble of Status", line);
  const int low = offset + 1 < line.size() ? HexNibble(line[offset + 1]) : -1;
  if (low < 0) VekRaiseClientListError("Invalid 2nd nibble of Status", line);
  const std::uint8_t s = static_cast<std::uint8_t>(high << 4 | low);
  if ((s & 3) == 3) VekRaiseClientListError("Invalid visible status", line);
  if ((s >> 4 & 3) == 3) VekRaiseClientListError("Invalid client type", line);
  status = s;
  rec.VisibleStatus = s & 3;
  rec.MarkLO = s >> 2 & 1;
  rec.MarkM = s >> 3 & 1;
  rec.ClientType = s >> 4 & 3;
  rec.Utf8 = s >> 7 & 1;
}

void VekParseClientLineTlv(const std::string& line, std::size_t offset, TVEKClientRec& rec,
                           TAnsiUnicodeConverter& converter) {
  std::uint8_t status = 0;
  VekParseClientStatus(line, offset, status, rec);
  const bool utf8 = rec.Utf8 != 0;
  std::string_view rest = std::string_view(line).substr(offset + 2);
  char tag = 0;
  std::string_view value;
  for (;;) {
    switch (NextTlv(rest, tag, value)) {
      case tlv_End: return;
      case tlv_BadLength: VekRaiseClientListError("Invalid TLV", line);
      case tlv_Overrun: RaiseFormat("Invalid format client line");
      case tlv_Value: break;
    }
    switch (tag) {
      case '2': rec.ON = Decode(converter, utf8, value); break;
      case '3': rec.BC = Decode(converter, utf8, value); break;
      case '4': rec.DS = Decode(converter, utf8, value); break;
      case '5': rec.NN = Decode(converter, utf8, value); break;
      case '6': rec.CT = Decode(converter, utf8, value); break;
      case '8': rec.ID = std::string(value); break;
      default: break;
    }
  }
}

void VekParseClientLineTags(const std::string& line, TVEKClientRec& rec, TAnsiUnicodeConverter& converter) {
  std::size_t pos = 0;
  std::string_view name, value;
  while (pos < line.size()) {
    if (!NextPair(line, pos, name, value)) VekRaiseClientListError("tag", line);
    if (name == "S") {
      std::uint8_t vs = vs_Absent, lo = 1;
      if (value.empty() || value == "0") vs = 0, lo = 0;
      else if (value == "1") vs = 1, lo = 0;
      else if (value == "2") vs = 2, lo = 0;
      else if (value == "5") vs = 0, lo = 1;
      else if (value == "6") vs = 1, lo = 1;
      rec.VisibleStatus = vs;
      rec.MarkLO = lo;
    } else if (name == "M") {
      if (value.empty()) {
        rec.MarkM = 0;
      } else if (value.size() == 1) {
        rec.MarkM = value[0] != '0';
      } else {
        std::int32_t n = 1;
        rec.MarkM = !(DaxTryBufToInt(value.data(), static_cast<int>(value.size()), n) && n == 0);
      }
    } else if (name == "NN") {
      rec.NN = Decode(converter, false, value);
    } else if (name == "CT") {
      rec.CT = Decode(converter, false, value);
    } else if (name == "ON") {
      rec.ON = Decode(converter, false, value);
    } else if (name == "DS") {
      if (!value.empty()) rec.DS = Decode(converter, false, value);
    } else if (name == "BC") {
      rec.BC = Decode(converter, false, value);
      rec.ClientType = VekClientTypeFromShort(value.data(), static_cast<int>(value.size()));
    } else if (name == "CL") {
      rec.ClientType = value.empty() || value == "0" ? clt_CROSSLINK : value == "1" ? clt_GATEWAY : clt_PC;
    } else if (name == "ID") {
      rec.ID = std::string(value);
    }
  }
}

void VekApplyClientListChange(const std::string& line, TVEKClientsArray& list, TAnsiUnicodeConverter& converter) {
  if (line.size() < 5) VekRaiseClientListError("Wrong length", line);
  std::uint32_t index = 0;
  if (!DaxHexToInt(line.data(), 4, index)) VekRaiseClientListError("Wrong index", line);
  const std::size_t length = list.size();
  switch (line[4]) {
    case '*': {
      if (index >= length) VekRaiseClientListError("Wrong index", line);
      if (line.size() < 7) VekRaiseClientListError("Wrong length", line);
      TVEKClientRec rec = list[index];
      std::uint8_t status = 0;
      VekParseClientStatus(line, 5, status, rec);
      list[index] = std::move(rec);
      break;
    }
    case '+': {
      TVEKClientRec rec;
      VekParseClientLineTlv(line, 5, rec, converter);
      // Inserts must not grow the list past what a 16-bit index reaches.
      if (index > length || length >= static_cast<std::size_t>(kVekListMaxCount))
        VekRaiseClientListError("Invalid index", line);
      list.insert(list.begin() + index, std::move(rec));
      break;
    }
    case '-': {
      std::int32_t count = 0;
      if (!DaxTryBufToInt(line.data() + 5, static_cast<int>(line.size() - 5), count))
        VekRaiseClientListError("Wrong delete count", line);
      try {
        VekClientsDelete(list, static_cast<int>(index), count);
      } catch (const Exception& e) {
        VekRaiseClientListError(e.Message(), line);
      }
      break;
    }
    case '=': {
      if (index >= length) VekRaiseClientListError("Wrong index", line);
      TVEKClientRec rec;
      VekParseClientLineTlv(line, 5, rec, converter);
      list[index] = std::move(rec);
      break;
    }
    default: VekRaiseClientListError("Wrong command", line);
  }
}

// --- Banned, muted, administrator and access lines -------------------------

void VekParseBlockMuteLineTags(const std::string& line, TVEKBlockMuteRec& rec, TAnsiUnicodeConverter& converter) {
  static const char* const names[] = {"AI", "NN", "CT", "BC", "CM", "ON", "ID"};
  std::string_view values[7];
  std::size_t pos = 0;
  for (std::size_t i = 0; i < 7; ++i) {
    switch (ExpectPair(line, pos, names[i], values[i])) {
      case pair_NotInPlace: VekRaiseBlockMuteListError(std::string("tag <") + names[i] + "> not in place");
      case pair_NotFound: VekRaiseBlockMuteListError(std::string("tag </") + names[i] + "> not found");
      case pair_Ok: break;
    }
  }
  rec.AI = Decode(converter, false, values[0]);
  rec.NN = Decode(converter, false, values[1]);
  rec.CT = Decode(converter, false, values[2]);
  rec.BC = Decode(converter, false, values[3]);
  const std::string_view cm = values[4], on = values[5];
  std::uint8_t type = 0;
  const bool cmIsType = OneDigit012(cm, type);
  if (cmIsType) rec.ClientType = type;
  if (!on.empty()) {
    rec.ON = Decode(converter, false, on);
  } else if (!cmIsType) {
    rec.ClientType = VekClientTypeFromShort(values[3].data(), static_cast<int>(values[3].size()));
    rec.ON = Decode(converter, false, cm);
  } else {
    rec.ClientType = clt_GATEWAY;
    rec.ON.clear();
  }
  rec.ID = std::string(values[6]);
}

void VekParseBlockMuteLineTlv(const std::string& line, TVEKBlockMuteRec& rec, TAnsiUnicodeConverter& converter) {
  bool utf8 = false;
  std::uint8_t type = 0;
  ParseBlockMuteHead(line, utf8, type);
  std::string_view rest = std::string_view(line).substr(2), value;
  char tag = 0;
  std::u16string aiServer, aiUtf8;
  for (bool more = true; more;) {
    switch (NextTlv(rest, tag, value)) {
      case tlv_End: more = false; continue;
      case tlv_BadLength:
      case tlv_Overrun: RaiseBlockMuteInvalidTlv(line);
      case tlv_Value: break;
    }
    switch (tag) {
      case '2': rec.ON = Decode(converter, utf8, value); break;
      case '3': rec.BC = Decode(converter, utf8, value); break;
      case '5': rec.NN = Decode(converter, utf8, value); break;
      case '6': rec.CT = Decode(converter, utf8, value); break;
      case '8': rec.ID = std::string(value); break;
      case '9': aiServer = Decode(converter, false, value); break;
      case 'A': aiUtf8 = Decode(converter, true, value); break;
      default: break;
    }
  }
  rec.ClientType = type;
  rec.AI = aiUtf8.empty() ? aiServer : aiUtf8;
}

void VekParseAdminLineTags(const std::string& line, TVEKAdminRec& rec, TAnsiUnicodeConverter& converter) {
  static const char* const names[] = {"NN", "CT", "BC", "CM", "ON", "ID"};
  std::string_view values[6];
  std::uint8_t type = 0;
  if (!ExpectPairs(line, names, values) || !OneDigit012(values[3], type)) VekRaiseAdminListError();
  rec.NN = Decode(converter, false, values[0]);
  rec.CT = Decode(converter, false, values[1]);
  rec.BC = Decode(converter, false, values[2]);
  rec.ClientType = type;
  rec.ON = Decode(converter, false, values[4]);
  rec.ID = std::string(values[5]);
}

void VekParseAdminLineTlv(const std::string& line, TVEKAdminRec& rec, TAnsiUnicodeConverter& converter) {
  bool utf8 = false;
  std::uint8_t type = 0;
  ParseBlockMuteHead(line, utf8, type);
  std::string_view rest = std::string_view(line).substr(2), value;
  char tag = 0;
  for (bool more = true; more;) {
    switch (NextTlv(rest, tag, value)) {
      case tlv_End: more = false; continue;
      case tlv_BadLength:
      case tlv_Overrun: RaiseBlockMuteInvalidTlv(line);
      case tlv_Value: break;
    }
    switch (tag) {
      case '2': rec.ON = Decode(converter, utf8, value); break;
      case '3': rec.BC = Decode(converter, utf8, value); break;
      case '5': rec.NN = Decode(converter, utf8, value); break;
      case '6': rec.CT = Decode(converter, utf8, value); break;
      case '8': rec.ID = std::string(value); break;
      default: break;
    }
  }
  rec.ClientType = type;
}

void VekParseAccessLineTags(const std::string& line, TVEKRightRec& rec, TAnsiUnicodeConverter& converter) {
  static const char* const names[] = {"AI", "NN", "CT", "BC", "ON", "ID"};
  std::string_view values[6];
  if (!ExpectPairs(line, names, values) || (values[0] != "0" && values[0] != "1")) VekRaiseAccessListError();
  rec.AI = values[0] == "0";
  rec.NN = Decode(converter, false, values[1]);
  rec.CT = Decode(converter, false, values[2]);
  rec.BC = Decode(converter, false, values[3]);
  rec.ON = Decode(converter, false, values[4]);
  rec.ID = std::string(values[5]);
}

void VekParseAccessLineTlv(const std::string& line, TVEKRightRec& rec, TAnsiUnicodeConverter& converter) {
  if (line.size() < 4 || (line[0] != '0' && line[0] != '1')) VekRaiseAccessListError();
  const bool utf8 = line[0] == '1';
  if (line[1] != '0' && line[1] != '1') VekRaiseBlockMuteListError("wrong client type");
  std::string_view rest = std::string_view(line).substr(2), value;
  char tag = 0;
  for (bool more = true; more;) {
    switch (NextTlv(rest, tag, value)) {
      case tlv_End: more = false; continue;
      case tlv_BadLength:
      case tlv_Overrun: VekRaiseAccessListError();
      case tlv_Value: break;
    }
    switch (tag) {
      case '0': rec.ID = std::string(value); break;
      case '2': rec.ON = Decode(converter, utf8, value); break;
      case '3': rec.BC = Decode(converter, utf8, value); break;
      case '5': rec.NN = Decode(converter, utf8, value); break;
      case '6': rec.CT = Decode(converter, utf8, value); break;
      default: break;
    }
  }
  rec.AI = line[1] == '0';
}

// --- Readers ---------------------------------------------------------------

void VekReadClientListTags(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKClientsArray& list) {
  SkipListHeader(conn);
  ReadList(conn, kClientCountError, list,
           [&](const std::string& line, TVEKClientRec& rec) { VekParseClientLineTags(line, rec, converter); });
}

void VekReadClientListTlv(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKClientsArray& list) {
  SkipListHeader(conn);
  ReadList(conn, kClientCountError, list,
           [&](const std::string& line, TVEKClientRec& rec) { VekParseClientLineTlv(line, 0, rec, converter); });
}

void VekReadClientCount(TVEKConnection& conn, TVEKClientsArray& list) {
  const std::int32_t count = ReadCount(conn, kClientCountError);
  list = TVEKClientsArray(static_cast<std::size_t>(count));
}

void VekReadClientListDiff(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKClientsArray& list) {
  SkipListHeader(conn);
  const std::int32_t count = ReadCount(conn, kClientCountError);
  TListBudget budget(kClientCountError);
  std::string line;
  for (std::int32_t i = 0; i < count; ++i) {
    ReadListLine(conn, line);
    budget.Take(line);
    VekApplyClientListChange(line, list, converter);
  }
}

void VekReadBlockMuteListTags(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKBlockMuteArray& list) {
  ReadList(conn, kBansCountError, list,
           [&](const std::string& line, TVEKBlockMuteRec& rec) { VekParseBlockMuteLineTags(line, rec, converter); });
}

void VekReadBlockMuteListTlv(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKBlockMuteArray& list) {
  ReadList(conn, kBansCountError, list,
           [&](const std::string& line, TVEKBlockMuteRec& rec) { VekParseBlockMuteLineTlv(line, rec, converter); });
}

void VekReadAdminListTags(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKAdminsArray& list) {
  ReadList(conn, kBansCountError, list,
           [&](const std::string& line, TVEKAdminRec& rec) { VekParseAdminLineTags(line, rec, converter); });
}

void VekReadAdminListTlv(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKAdminsArray& list) {
  ReadList(conn, kAdminsCountError, list,
           [&](const std::string& line, TVEKAdminRec& rec) { VekParseAdminLineTlv(line, rec, converter); });
}

void VekReadAccessListTags(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKRightsArray& list) {
  ReadList(conn, kAccessCountError, list,
           [&](const std::string& line, TVEKRightRec& rec) { VekParseAccessLineTags(line, rec, converter); });
}

void VekReadAccessListTlv(TVEKConnection& conn, TAnsiUnicodeConverter& converter, TVEKRightsArray& list) {
  ReadList(conn, kAccessCountError, list,
           [&](const std::string& line, TVEKRightRec& rec) { VekParseAccessLineTlv(line, rec, converter); });
}

void VekReadAccessModes(TVEKConnection& conn, TVEKModesArray& list) {
  ReadList(conn, kModesCountError, list, [](const std::string& line, std::int32_t& mode) {
    if (!DaxTryStrToInt(line, mode)) RaiseFormat("invalid access mode(s)");
  });
}

namespace {

void ReadNameList(TVEKConnection& conn, TAnsiUnicodeConverter& converter, bool utf8, const std::u16string& context,
                  std::int32_t minimum, std::vector<std::u16string>& out) {
  std::string line;
  ReadListLine(conn, line);
  std::int32_t count = 0;
  if (!DaxTryStrToInt(line, count) || count > kVekListMaxCount) RaiseVekInvalidServerResponse(context, line);
  if (minimum > 0 && count < minimum) RaiseVekEmptyNetworkList(context);
  if (count < 0) RaiseVekInvalidServerResponse(context, line);
  const std::string countLine = line;
  std::vector<std::u16string> list;
  std::size_t bytes = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    ReadListLine(conn, line);
    bytes += line.size() + 1;
    if (bytes > kVekListMaxBytes) RaiseVekInvalidServerResponse(context, countLine);
    list.push_back(Decode(converter, utf8, line));
  }
  out = std::move(list);
}

}  // namespace

void VekReadNetworks(TVEKConnection& conn, TAnsiUnicodeConverter& converter, bool utf8, TVEKNetworksArray& list) {
  ReadNameList(conn, converter, utf8, u"networks", 1, list);
}

void VekReadNotices(TVEKConnection& conn, TAnsiUnicodeConverter& converter, bool utf8, TVEKNoticesArray& list) {
  ReadNameList(conn, converter, utf8, u"notices", 0, list);
}

std::unique_ptr<TVEKMessage> VekReadTextMessage(TVEKConnection& conn, TAnsiUnicodeConverter& converter, bool utf8,
                                                const TVEKClientsArray& clients) {
  std::string line;
  ReadListLine(conn, line);
  std::int32_t count = 0;
  if (!DaxTryStrToInt(line, count) || count < 2) return nullptr;
  auto message = std::make_unique<TVEKMessage>();
  // Failures of the message's own format drop the message, but its lines are
  // still read so the next marker starts where it should. Connection
  // failures go on to the caller.
  bool dropped = false;
  std::size_t bytes = 0;
  ReadListLine(conn, line);
  message->SenderId = line;
  for (const TVEKClientRec& c : clients) {
    if (c.ID == line) {
      message->SenderName = c.ON;
      message->SenderCity = c.CT;
      break;
    }
  }
  for (std::int32_t i = 0; i < count - 2; ++i) {
    ReadListLine(conn, line);
    bytes += line.size() + 1;
    if (bytes > kVekListMaxBytes) dropped = true;
    if (dropped) continue;
    try {
      message->AddLine(Decode(converter, utf8, line));
    } catch (const EAnsiUnicodeConverterError&) {
      dropped = true;
    } catch (const EConvertError&) {
      dropped = true;
    }
  }
  ReadListLine(conn, line);
  if (line.size() != 1 || (line[0] != 'A' && line[0] != 'P')) dropped = true;
  if (dropped) return nullptr;
  message->Private = line[0] == 'P';
  return message;
}

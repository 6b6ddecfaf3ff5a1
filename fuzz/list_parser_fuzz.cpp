// Every list line parser and list reader on any bytes: no crash, no read
// past the input, memory bounded by the list limits, and nothing escapes but
// the program's own error classes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/ansi_unicode_converter.h"
#include "net/proto_lists.h"
#include "support/memory_connection.h"

namespace {

TAnsiUnicodeConverter& Converter(bool bin) {
  static TAnsiUnicodeConverter cp1251, bytes;
  static bool ready = false;
  if (!ready) {
    cp1251.SetCharset(u"CP1251");
    bytes.SetCharset(u"BIN");
    ready = true;
  }
  return bin ? bytes : cp1251;
}

void ParseLine(std::uint8_t which, const std::string& line, TAnsiUnicodeConverter& conv) {
  TVEKClientRec client;
  TVEKBlockMuteRec ban;
  TVEKAdminRec admin;
  TVEKRightRec right;
  std::uint8_t status = 0;
  switch (which % 11) {
    case 0: VekParseClientStatus(line, which / 11 % 4, status, client); break;
    case 1: VekParseClientLineTags(line, client, conv); break;
    case 2: VekParseClientLineTlv(line, which / 11 % 4, client, conv); break;
    case 3: VekParseBlockMuteLineTags(line, ban, conv); break;
    case 4: VekParseBlockMuteLineTlv(line, ban, conv); break;
    case 5: VekParseAdminLineTags(line, admin, conv); break;
    case 6: VekParseAdminLineTlv(line, admin, conv); break;
    case 7: VekParseAccessLineTags(line, right, conv); break;
    case 8: VekParseAccessLineTlv(line, right, conv); break;
    default: {
      TVEKClientsArray list(which % 7);
      VekApplyClientListChange(line, list, conv);
    }
  }
}

void ReadStream(std::uint8_t which, TVEKConnection& conn, TAnsiUnicodeConverter& conv) {
  TVEKClientsArray clients(which % 5);
  TVEKBlockMuteArray bans;
  TVEKAdminsArray admins;
  TVEKRightsArray rights;
  TVEKModesArray modes;
  TVEKNetworksArray names;
  const bool utf8 = which & 0x80;
  switch (which % 16) {
    case 0: VekReadClientListTags(conn, conv, clients); break;
    case 1: VekReadClientCount(conn, clients); break;
    case 2: VekReadClientListTlv(conn, conv, clients); break;
    case 3: VekReadClientListDiff(conn, conv, clients); break;
    case 4: VekReadBlockMuteListTags(conn, conv, bans); break;
    case 5: VekReadBlockMuteListTlv(conn, conv, bans); break;
    case 6: VekReadAdminListTags(conn, conv, admins); break;
    case 7: VekReadAdminListTlv(conn, conv, admins); break;
    case 8: VekReadAccessListTags(conn, conv, rights); break;
    case 9: VekReadAccessListTlv(conn, conv, rights); break;
    case 10: VekReadAccessModes(conn, modes); break;
    case 11: VekReadNetworks(conn, conv, utf8, names); break;
    case 12: VekReadNotices(conn, conv, utf8, names); break;
    default: {
      // Several messages back to back, as the markers would bring them.
      for (int i = 0; i < 4; ++i) (void)VekReadTextMessage(conn, conv, utf8, clients);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t mode = data[0], which = data[1], chunk = data[2];
  const std::string rest(reinterpret_cast<const char*>(data) + 3, size - 3);
  TAnsiUnicodeConverter& conv = Converter(mode & 2);
  try {
    if (mode & 1) {
      ParseLine(which, rest, conv);
    } else {
      TVEKMemoryConnection conn(rest, (mode & 4) == 0);
      conn.ChunkSize = chunk % 17;
      ReadStream(which, conn, conv);
    }
  } catch (const Exception&) {
    // The program's own errors are the expected outcome of bad input.
  }
  return 0;
}

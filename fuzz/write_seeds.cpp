// Writes the seed corpus of every fuzz target: a handful of inputs each that
// walk the target's main paths. The server's bytes come from the test
// server's own builders, so the seeds say what that server says.
//
//   fuzz_write_seeds DIR    writes DIR/<target>/<seed>; the tree keeps them
//                           in fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fake_vek_server.h"

namespace {

using namespace vektest;

class SeedWriter {
 public:
  explicit SeedWriter(std::filesystem::path dir) : dir_(std::move(dir)) {}

  void Add(const std::string& target, const std::string& name, const std::string& bytes) {
    const std::filesystem::path folder = dir_ / target;
    std::filesystem::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + (folder / name).string());
  }

 private:
  std::filesystem::path dir_;
};

std::string Byte(unsigned v) { return std::string(1, static_cast<char>(v)); }
std::string Marker(unsigned marker, const std::string& payload = {}) { return Byte(marker) + payload; }

// ----- list and line readers

void HexLenSeeds(SeedWriter& w) {
  // The decoder reads from byte 0; the tag name is byte 0 mod 8 bytes long.
  const std::string t = "hexlen_fuzz";
  w.Add(t, "short_prefix", HexLenField("abc"));
  w.Add(t, "long_prefix", HexLen(70000) + "rest");
  w.Add(t, "tag", Byte(2) + "SV" + Tag("SV", "2014000") + Tag("AL", "OK"));
  w.Add(t, "tag_inside", Byte(3) + "ONE" + Tag("ONE", "a<b") + "</ONE>");
}

void LineReaderSeeds(SeedWriter& w) {
  const std::string t = "line_reader_fuzz";
  const std::string seed = "\x13\x57\x9b\xdf\x02\x46\x8a\xce";
  const std::string lines = "first\r\nsecond\n\r\nlast without end";
  w.Add(t, "lines", Byte(0) + Byte(1) + seed + lines);
  w.Add(t, "lines_buffer_peer_error", Byte(3) + Byte(1) + seed + lines);
  w.Add(t, "long_line_large_pieces", Byte(4) + Byte(2) + seed + std::string(300, 'x') + "\r\n" + lines);
}

FakeClient Client(std::string id, std::string name, int visible, bool utf8) {
  FakeClient c;
  c.id = std::move(id);
  c.name = std::move(name);
  c.country = "DE";
  c.city = utf8 ? "M\xC3\xBCnchen" : "Berlin";
  c.band = "2m";
  c.description = "Repeater";
  c.visible = visible;
  c.utf8 = utf8;
  return c;
}

std::vector<FakeClient> Clients() { return {Client("1", "ALPHA", 0, false), Client("2", "BRAVO", 1, true)}; }

FakeAccount Account(std::string ai, bool utf8) {
  FakeAccount a;
  a.ai = std::move(ai);
  a.name = "CHARLIE";
  a.country = "AT";
  a.city = "Wien";
  a.band = "70cm";
  a.id = "7";
  a.client_type = 1;
  a.utf8 = utf8;
  return a;
}

std::string ClientChanges() {
  const FakeClient c = Client("3", "DELTA", 2, true);
  return ClientDiffPayload({DiffStatus(0, c), DiffInsert(1, c), DiffReplace(2, c), DiffDelete(0, 1)});
}

// One list payload of each format, as the markers bring them.
struct ListPayloads {
  std::string clientsTags = ClientListTagsPayload(Clients());
  std::string clientsTlv = ClientListTlvPayload(Clients());
  std::string changes = ClientChanges();
  std::string bannedTags = CountedLines({BlockMuteLineTags(Account("reason", false))});
  std::string bannedTlv = CountedLines({BlockMuteLineTlv(Account("reason", true))});
  std::string adminsTags = CountedLines({AdminLineTags(Account({}, false))});
  std::string adminsTlv = CountedLines({AdminLineTlv(Account({}, true))});
  std::string accessTags = CountedLines({AccessLineTags(Account("0", false))});
  std::string accessTlv = CountedLines({AccessLineTlv(Account("1", true))});
  std::string modes = CountedLines({"1", "3"});
  std::string notices = NoticesPayload({"Net at 20:00", "Be nice"});
  std::string message = TextMessagePayload("1", {"hello", "world"}, false);
};

void ListParserSeeds(SeedWriter& w) {
  // Byte 0 bit 0 parses one line, byte 1 picks the parser or reader, byte 2
  // the piece size of a stream.
  const std::string t = "list_parser_fuzz";
  const ListPayloads p;
  const std::string pieces = Byte(7);
  const auto stream = [&](unsigned reader, const std::string& payload) {
    return Byte(0) + Byte(reader) + pieces + payload;
  };
  const auto line = [&](unsigned parser, const std::string& text) {
    return Byte(1) + Byte(parser) + pieces + text;
  };
  w.Add(t, "read_clients_tags", stream(0, p.clientsTags));
  w.Add(t, "read_client_count", stream(1, ClientCountPayload(3)));
  w.Add(t, "read_clients_tlv", stream(2, p.clientsTlv));
  w.Add(t, "read_client_changes", stream(3, p.changes));
  w.Add(t, "read_banned_tags", stream(4, p.bannedTags));
  w.Add(t, "read_banned_tlv", stream(5, p.bannedTlv));
  w.Add(t, "read_admins_tags", stream(6, p.adminsTags));
  w.Add(t, "read_admins_tlv", stream(7, p.adminsTlv));
  w.Add(t, "read_access_tags", stream(8, p.accessTags));
  w.Add(t, "read_access_tlv", stream(9, p.accessTlv));
  w.Add(t, "read_modes", stream(10, p.modes));
  w.Add(t, "read_networks", stream(11, NetworksPayload({"Test", "Other"})));
  w.Add(t, "read_notices", stream(12, p.notices));
  w.Add(t, "read_messages", stream(13, p.message + TextMessagePayload("2", {"private"}, true)));
  w.Add(t, "parse_client_tlv", line(2, ClientLineTlv(Client("4", "ECHO", 1, true))));
  w.Add(t, "parse_change", line(9, DiffInsert(0, Client("5", "FOXTROT", 0, false))));
}

// ----- the protocol thread

std::string LoginAnswer(const HandshakeReply& reply) {
  return reply.line1 + "\r\n" + reply.Line2() + "\r\n" + Marker(0x05, NetworksPayload({"Test", "Other"}));
}

HandshakeReply Reply(std::string sef) {
  HandshakeReply r;
  r.sef = std::move(sef);
  r.nt = "Test";
  r.id = "1";
  return r;
}

// Switches of the marker target's first byte.
constexpr unsigned kOldClient = 0x01, kTransmit = 0x20, kRxAlign = 0x40;
constexpr unsigned ClockStep(unsigned fiftyMs) { return fiftyMs << 2; }

void MarkerReaderSeeds(SeedWriter& w) {
  const std::string t = "marker_reader_fuzz";
  const ListPayloads p;
  GsmCodec codec;
  const std::string fiveBlocks = codec.Encode(Tone(440, 8000, 5 * kPcmBlock));
  const std::string oneBlock = codec.Encode(Tone(880, 8000, kPcmBlock));
  const std::string sound = Marker(0x02, SoundPayload(2, fiveBlocks));
  const std::string shortSound = Marker(0x81, SoundPayload(1, oneBlock));

  w.Add(t, "login", Byte(0) + LoginAnswer(Reply("0")));
  HandshakeReply challenge = Reply("0");
  challenge.sv = "2013002";
  challenge.kp = "123456";
  challenge.bn = "backup.example";
  challenge.bp = "7001";
  w.Add(t, "login_challenge", Byte(kOldClient) + LoginAnswer(challenge));
  HandshakeReply wrong = Reply("0");
  wrong.al = "WRONG";
  w.Add(t, "login_refused", Byte(0) + wrong.line1 + "\r\n" + wrong.Line2() + "\r\n");

  w.Add(t, "voice", Byte(0) + LoginAnswer(Reply("0")) + Marker(0x83, p.clientsTlv) + sound + sound +
                        Marker(0x00) + Marker(0x02, SoundPayload(1, fiveBlocks)) + sound + Marker(0x00));
  // Voice that falls behind the clock: the alignment drops some.
  w.Add(t, "voice_short_aligned", Byte(kRxAlign | ClockStep(2)) + LoginAnswer(Reply("16")) +
                                      Marker(0x83, p.clientsTlv) + shortSound + shortSound + shortSound +
                                      shortSound + Marker(0x00));
  std::string behind;
  for (int i = 0; i < 7; ++i) behind += sound;
  w.Add(t, "voice_aligned",
        Byte(kRxAlign | ClockStep(4)) + LoginAnswer(Reply("0")) + Marker(0x83, p.clientsTlv) + behind + Marker(0x00));
  // The channel request: repeated while it waits, approved, then taken back
  // by the server or by a talker.
  w.Add(t, "transmit",
        Byte(kTransmit | ClockStep(3)) + LoginAnswer(Reply("0")) + Marker(0x00) + Marker(0x00) +
            Marker(0x01, Be16(0)) + Marker(0x00));
  w.Add(t, "transmit_yields", Byte(kTransmit) + LoginAnswer(Reply("16")) + Marker(0x01, Be16(0)) + sound +
                                  Marker(0x00));
  w.Add(t, "lists_tags", Byte(0) + LoginAnswer(Reply("0")) + Marker(0x03, p.clientsTags) +
                             Marker(0x06, p.adminsTags) + Marker(0x07, p.accessTags) +
                             Marker(0x08, p.bannedTags) + Marker(0x09, p.bannedTags) + Marker(0x0A, p.modes) +
                             Marker(0x0B, p.notices) + Marker(0x04, p.message));
  // Client-list changes, UTF-8 texts.
  w.Add(t, "lists_tlv", Byte(0) + LoginAnswer(Reply("11")) + Marker(0x83, p.clientsTlv) +
                            Marker(0x84, p.changes) + Marker(0x85, p.message) + Marker(0x86, p.bannedTlv) +
                            Marker(0x87, p.bannedTlv) + Marker(0x88, p.adminsTlv) + Marker(0x8A, p.notices) +
                            Marker(0x8B, p.accessTlv) + Marker(0x82, ClientCountPayload(2)));
  // Sound acknowledgements and no client list.
  w.Add(t, "keepalives", Byte(0) + LoginAnswer(Reply("5")) + Marker(0x89) + Marker(0x80) + Marker(0x00) +
                             Marker(0x82, ClientCountPayload(4)) + shortSound + Marker(0x89));
  w.Add(t, "unknown_marker", Byte(0) + LoginAnswer(Reply("0")) + Marker(0x7F));
}

void ProxyReplySeeds(SeedWriter& w) {
  // Byte 0: 0 SOCKS4, 1 SOCKS5, 2 HTTP CONNECT; bit 2 with a user name.
  const std::string t = "proxy_reply_fuzz";
  w.Add(t, "socks4", Byte(0) + Byte(0) + Byte(0x5A) + std::string(6, '\0'));
  w.Add(t, "socks5", Byte(1) + "\x05" + Byte(0) + "\x05" + Byte(0) + Byte(0) + "\x01" + std::string(6, '\0'));
  w.Add(t, "socks5_user", Byte(4) + "\x05\x02\x01" + Byte(0) + "\x05" + Byte(0) + Byte(0) + "\x03\x0b" +
                              "example.org" + Be16(80));
  w.Add(t, "http", Byte(2) + "HTTP/1.1 200 Connection established\r\nProxy-Agent: x\r\n\r\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  try {
    SeedWriter w(argv[1]);
    HexLenSeeds(w);
    LineReaderSeeds(w);
    ListParserSeeds(w);
    MarkerReaderSeeds(w);
    ProxyReplySeeds(w);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}

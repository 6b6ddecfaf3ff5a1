#include "net/proto_lists.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "foundation/ansi_unicode_converter.h"
#include "net/proto_types.h"
#include "support/memory_connection.h"

namespace {

// The raw bytes of the error a call raises, or "" when it raises none.
template <class F>
std::string ListError(F&& f) {
  try {
    f();
  } catch (const EVEKErrorListFormat& e) {
    return e.Message();
  }
  return "";
}

class ProtoListsTest : public ::testing::Test {
 protected:
  ProtoListsTest() { conv.SetCharset(u"CP1251"); }

  TVEKClientRec Client(const std::string& id, const std::u16string& on) {
    TVEKClientRec r;
    r.ID = id;
    r.ON = on;
    return r;
  }

  TAnsiUnicodeConverter conv;
};

// --- Client lines ----------------------------------------------------------

TEST_F(ProtoListsTest, ClientStatusByte) {
  struct Case {
    std::string line;
    std::size_t offset;
    std::string error;  // "" when the byte is valid
    int vs, lo, m, type, utf8;
  };
  const std::vector<Case> cases = {
      {"81", 0, "", 1, 0, 0, 0, 1},
      {"xx2e", 2, "", 2, 1, 1, 2, 0},
      {"1C", 0, "", 0, 1, 1, 1, 0},
      {"4F", 0, "Invalid visible status", 0, 0, 0, 0, 0},
      {"30", 0, "Invalid client type", 0, 0, 0, 0, 0},
      {"G0", 0, "Invalid 1st nibble of Status", 0, 0, 0, 0, 0},
      {"0", 0, "Invalid 2nd nibble of Status", 0, 0, 0, 0, 0},
      {"", 0, "Invalid 1st nibble of Status", 0, 0, 0, 0, 0},
      {"8", 5, "Invalid 1st nibble of Status", 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TVEKClientRec rec;
    std::uint8_t status = 0;
    const std::string err = ListError([&] { VekParseClientStatus(c.line, c.offset, status, rec); });
    if (!c.error.empty()) {
      EXPECT_EQ(err, "Unknown client list format: " + c.error + ": " + c.line);
      continue;
    }
    ASSERT_EQ(err, "");
    EXPECT_EQ(rec.VisibleStatus, c.vs);
    EXPECT_EQ(rec.MarkLO, c.lo);
    EXPECT_EQ(rec.MarkM, c.m);
    EXPECT_EQ(rec.ClientType, c.type);
    EXPECT_EQ(rec.Utf8, c.utf8);
  }
}

TEST_F(ProtoListsTest, ClientLineTlv) {
  TVEKClientRec rec;
  // UTF-8 by the status byte; an unknown tag is skipped; the id is raw.
  VekParseClientLineTlv("802" "03" "abc" "Z01" "q" "8" "02" "\x01\xff" "6" "04" "\xd0\x9c\xd0\xbd", 0, rec, conv);
  EXPECT_EQ(rec.ON, u"abc");
  EXPECT_EQ(rec.CT, u"Мн");
  EXPECT_EQ(rec.ID, std::string("\x01\xff"));
  EXPECT_EQ(rec.Utf8, 1);

  // Server charset without bit 7; all text tags.
  TVEKClientRec r2;
  VekParseClientLineTlv("--112" "01" "\xc0" "301b401d501n601c", 2, r2, conv);
  EXPECT_EQ(r2.ON, u"А");
  EXPECT_EQ(r2.BC, u"b");
  EXPECT_EQ(r2.DS, u"d");
  EXPECT_EQ(r2.NN, u"n");
  EXPECT_EQ(r2.CT, u"c");
  EXPECT_EQ(r2.ClientType, clt_GATEWAY);
  EXPECT_EQ(r2.VisibleStatus, vs_NotAvailable);

  const struct {
    std::string line, error;
  } bad[] = {
      {"002" "05" "abc", "Invalid format client line"},     // value past the end
      {"002" "81FF" "abc", "Invalid format client line"},   // long form, not there
      {"002" "84FFFFFFFF" "x", "Invalid format client line"},
      {"0022", "Unknown client list format: Invalid TLV: 0022"},    // prefix not hex
      {"002", "Unknown client list format: Invalid TLV: 002"},      // prefix missing
      {"0028500", "Unknown client list format: Invalid TLV: 0028500"},  // five length bytes
  };
  for (const auto& c : bad) {
    TVEKClientRec r;
    EXPECT_EQ(ListError([&] { VekParseClientLineTlv(c.line, 0, r, conv); }), c.error) << c.line;
  }
}

TEST_F(ProtoListsTest, ClientLineTags) {
  struct Case {
    std::string line;
    int vs, lo, m, type;
  };
  const std::vector<Case> cases = {
      {"<S>6</S><M>0</M><BC>PC Only</BC>", 1, 1, 0, clt_PC},
      {"<S></S><M></M><BC>Crosslink</BC>", 0, 0, 0, clt_CROSSLINK},
      {"<S>1</S><M>x</M><BC>145.500</BC>", 1, 0, 1, clt_GATEWAY},
      {"<S>2</S><M>00</M>", 2, 0, 0, clt_CROSSLINK},
      {"<S>5</S><M>abc</M>", 0, 1, 1, clt_CROSSLINK},
      {"<S>9</S><M>12</M>", 2, 1, 1, clt_CROSSLINK},
      {"<BC>PC Only</BC><CL>1</CL>", 0, 0, 0, clt_GATEWAY},
      {"<CL>1</CL><BC>PC Only</BC>", 0, 0, 0, clt_PC},
      {"<CL>7</CL>", 0, 0, 0, clt_PC},
      {"", 0, 0, 0, clt_CROSSLINK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TVEKClientRec rec;
    VekParseClientLineTags(c.line, rec, conv);
    EXPECT_EQ(rec.VisibleStatus, c.vs);
    EXPECT_EQ(rec.MarkLO, c.lo);
    EXPECT_EQ(rec.MarkM, c.m);
    EXPECT_EQ(rec.ClientType, c.type);
  }

  TVEKClientRec rec;
  rec.DS = u"kept";
  VekParseClientLineTags("<ON>a<b</ON><XX>skip</XX><NN>\xc0</NN><CT>c</CT><DS></DS><ID>\x01i</ID>", rec, conv);
  EXPECT_EQ(rec.ON, u"a<b");
  EXPECT_EQ(rec.NN, u"А");
  EXPECT_EQ(rec.CT, u"c");
  EXPECT_EQ(rec.DS, u"kept");
  EXPECT_EQ(rec.ID, "\x01i");

  for (const std::string line : {"x<S>1</S>", "<S>1</S> <M>1</M>", "<S>1</s>", "<S>1", "<>x</>", "<S"}) {
    TVEKClientRec r;
    EXPECT_EQ(ListError([&] { VekParseClientLineTags(line, r, conv); }),
              "Unknown client list format: tag: " + line);
  }
}

// --- Client-list changes ---------------------------------------------------

TEST_F(ProtoListsTest, ClientListChangeLines) {
  // The list before each line: ids "0".."5".
  auto six = [&] {
    TVEKClientsArray l;
    for (int i = 0; i < 6; ++i) l.push_back(Client(std::to_string(i), u""));
    return l;
  };
  auto ids = [](const TVEKClientsArray& l) {
    std::string s;
    for (const auto& c : l) s += c.ID.empty() ? "_" : c.ID;
    return s;
  };
  struct Case {
    std::string line, error, ids;  // ids after a successful line
  };
  const std::vector<Case> cases = {
      {"0003-2", "", "0125"},
      {"0000-0", "", "012345"},
      {"0003-", "Wrong delete count", ""},
      {"0003-x", "Wrong delete count", ""},
      {"0003-4", "Invalid delete count", ""},
      {"0006-0", "Invalid index", ""},
      {"0006+00" "8" "01" "n", "", "012345n"},
      {"0000+00" "8" "01" "n", "", "n012345"},
      {"0007+00" "8" "01" "n", "Invalid index", ""},
      {"0006+0", "Invalid 2nd nibble of Status", ""},
      {"0002=00" "8" "01" "r", "", "01r345"},
      {"0006=00", "Wrong index", ""},
      {"0005*81", "", "012345"},
      {"0006*81", "Wrong index", ""},
      {"0005*8", "Wrong length", ""},
      {"000A*4F", "Wrong index", ""},
      {"0001*4F", "Invalid visible status", ""},
      {"0001?", "Wrong command", ""},
      {"0001", "Wrong length", ""},
      {"00g1*81", "Wrong index", ""},
      {"-001-1", "Wrong index", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TVEKClientsArray list = six();
    const std::string err = ListError([&] { VekApplyClientListChange(c.line, list, conv); });
    if (!c.error.empty()) {
      EXPECT_EQ(err, "Unknown client list format: " + c.error + ": " + c.line);
      EXPECT_EQ(ids(list), "012345");  // a failing line changes nothing
    } else {
      EXPECT_EQ(err, "");
      EXPECT_EQ(ids(list), c.ids);
    }
  }

  // A status change keeps the entry's texts and sets its status fields.
  TVEKClientsArray list;
  for (int i = 0; i < 11; ++i) list.push_back(Client(std::to_string(i), u"name"));
  VekApplyClientListChange("000A*81", list, conv);
  EXPECT_EQ(list[10].VisibleStatus, vs_NotAvailable);
  EXPECT_EQ(list[10].Utf8, 1);
  EXPECT_EQ(list[10].ON, u"name");
  EXPECT_EQ(ListError([&] { VekApplyClientListChange("000A*4F", list, conv); }),
            "Unknown client list format: Invalid visible status: 000A*4F");
  EXPECT_EQ(list[10].VisibleStatus, vs_NotAvailable);

  // Inserts stop where a 16-bit index ends: repeated markers cannot grow the
  // list without bound.
  TVEKClientsArray full(kVekListMaxCount);
  EXPECT_EQ(ListError([&] { VekApplyClientListChange("FFFF+008" "01" "n", full, conv); }),
            "Unknown client list format: Invalid index: FFFF+00801n");
  EXPECT_EQ(full.size(), static_cast<std::size_t>(kVekListMaxCount));
  full.pop_back();
  VekApplyClientListChange("0000+008" "01" "n", full, conv);
  EXPECT_EQ(full.front().ID, "n");
}

TEST_F(ProtoListsTest, ClientListDiffKeepsEarlierChangesOnFailure) {
  TVEKClientsArray list = {Client("a", u""), Client("b", u"")};
  TVEKMemoryConnection conn(std::string("\x00\x01", 2) + "3\r\n0002+008" "01" "c\n0000-1\n0009*80\nnext", true);
  EXPECT_EQ(ListError([&] { VekReadClientListDiff(conn, conv, list); }),
            "Unknown client list format: Wrong index: 0009*80");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].ID, "b");
  EXPECT_EQ(list[1].ID, "c");
}

// --- Whole lists -----------------------------------------------------------

TEST_F(ProtoListsTest, ClientListsReplaceOnlyWhenComplete) {
  for (int chunk : {0, 1, 3}) {
    SCOPED_TRACE(chunk);
    TVEKClientsArray list = {Client("old", u"")};
    TVEKMemoryConnection tags(std::string("\x12\x34", 2) + "2\r\n<ID>x</ID><ON>X</ON>\n<ID>y</ID>\n\x07");
    tags.ChunkSize = chunk;
    VekReadClientListTags(tags, conv, list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].ON, u"X");
    EXPECT_EQ(list[1].ID, "y");
    EXPECT_EQ(tags.Unread(), 1u);

    TVEKMemoryConnection tlv(std::string("\0\0", 2) + "1\n008" "01" "t\n");
    tlv.ChunkSize = chunk;
    VekReadClientListTlv(tlv, conv, list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ID, "t");

    // A bad second line leaves the previous list.
    TVEKMemoryConnection bad(std::string("\0\0", 2) + "2\n008" "01" "u\n00\x01\n");
    bad.ChunkSize = chunk;
    EXPECT_NE(ListError([&] { VekReadClientListTlv(bad, conv, list); }), "");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ID, "t");
  }
}

TEST_F(ProtoListsTest, CountsAreCheckedBeforeAnyLineIsRead) {
  using Reader = std::function<void(TVEKConnection&)>;
  TVEKClientsArray clients;
  TVEKBlockMuteArray bans;
  TVEKAdminsArray admins;
  TVEKRightsArray rights;
  TVEKModesArray modes;
  const struct {
    const char* name;
    bool header;
    Reader read;
    std::string error;
  } readers[] = {
      {"client tags", true, [&](TVEKConnection& c) { VekReadClientListTags(c, conv, clients); },
       "invalid number of lines at list of client"},
      {"client tlv", true, [&](TVEKConnection& c) { VekReadClientListTlv(c, conv, clients); },
       "invalid number of lines at list of client"},
      {"client diff", true, [&](TVEKConnection& c) { VekReadClientListDiff(c, conv, clients); },
       "invalid number of lines at list of client"},
      {"client count", false, [&](TVEKConnection& c) { VekReadClientCount(c, clients); },
       "invalid number of lines at list of client"},
      {"bans tags", false, [&](TVEKConnection& c) { VekReadBlockMuteListTags(c, conv, bans); },
       "invalid number of lines at list of bans"},
      {"bans tlv", false, [&](TVEKConnection& c) { VekReadBlockMuteListTlv(c, conv, bans); },
       "invalid number of lines at list of bans"},
      {"admins tags", false, [&](TVEKConnection& c) { VekReadAdminListTags(c, conv, admins); },
       "invalid number of lines at list of bans"},
      {"admins tlv", false, [&](TVEKConnection& c) { VekReadAdminListTlv(c, conv, admins); },
       "invalid number of lines at list of admins"},
      {"access tags", false, [&](TVEKConnection& c) { VekReadAccessListTags(c, conv, rights); },
       "invalid number of lines at access list"},
      {"access tlv", false, [&](TVEKConnection& c) { VekReadAccessListTlv(c, conv, rights); },
       "invalid number of lines at access list"},
      {"modes", false, [&](TVEKConnection& c) { VekReadAccessModes(c, modes); },
       "invalid number of lines at access mode"},
  };
  for (const auto& r : readers) {
    SCOPED_TRACE(r.name);
    const std::string head = r.header ? std::string("\0\0", 2) : "";
    for (const char* count : {"-1", "x", "", "65536", "2147483647", "1 "}) {
      TVEKMemoryConnection conn(head + count + "\nline\n");
      EXPECT_EQ(ListError([&] { r.read(conn); }), r.error) << count;
      EXPECT_EQ(conn.Unread(), 5u) << count;
    }
    // The largest count is accepted; the lines are then simply missing.
    if (std::string(r.name) != "client count") {
      TVEKMemoryConnection conn(head + "65535\n");
      EXPECT_THROW(r.read(conn), EVEKErrorPeerDisconnected);
    }
    // Zero is an empty list.
    TVEKMemoryConnection empty(head + "+0\n");
    r.read(empty);
  }
  EXPECT_TRUE(clients.empty());

  TVEKMemoryConnection count("3\n");
  VekReadClientCount(count, clients);
  ASSERT_EQ(clients.size(), 3u);
  EXPECT_EQ(clients[2].ID, "");
}

TEST_F(ProtoListsTest, BlockMuteLines) {
  TVEKBlockMuteRec rec;
  VekParseBlockMuteLineTags("<AI>ai</AI><NN>n</NN><CT>c</CT><BC>PC Only</BC><CM>Name</CM><ON></ON><ID>i</ID>", rec,
                            conv);
  EXPECT_EQ(rec.ON, u"Name");
  EXPECT_EQ(rec.ClientType, clt_PC);
  EXPECT_EQ(rec.AI, u"ai");
  EXPECT_EQ(rec.BC, u"PC Only");
  EXPECT_EQ(rec.ID, "i");

  TVEKBlockMuteRec r2;
  VekParseBlockMuteLineTags("<AI></AI><NN></NN><CT></CT><BC>PC Only</BC><CM>2</CM><ON>\xc0</ON><ID></ID>", r2, conv);
  EXPECT_EQ(r2.ON, u"А");
  EXPECT_EQ(r2.ClientType, clt_PC);
  TVEKBlockMuteRec r3;
  VekParseBlockMuteLineTags("<AI></AI><NN></NN><CT></CT><BC>PC Only</BC><CM>0</CM><ON></ON><ID></ID>", r3, conv);
  EXPECT_EQ(r3.ON, u"");
  EXPECT_EQ(r3.ClientType, clt_GATEWAY);

  const struct {
    std::string line, error;
  } bad[] = {
      {"<NN></NN>", "tag <AI> not in place"},
      {"<AI>", "tag </AI> not found"},
      {"<AI></AI> <NN></NN>", "tag <NN> not in place"},
      {"<AI></AI><NN></NN><CT></CT><BC></BC><CM>x", "tag </CM> not found"},
      {"<AI></AI><NN></NN><CT></CT><BC></BC><CM></CM><ON></ON>", "tag <ID> not in place"},
      {"x", "wrong length"},
      {"2000", "wrong charset flag"},
      {"1300", "wrong client type"},
      {"00205ab", "Invalid TLV: \"00205ab\""},
      {"002G", "Invalid TLV: \"002G\""},
  };
  for (const auto& c : bad) {
    TVEKBlockMuteRec r;
    auto parse = c.line[0] == '<' ? VekParseBlockMuteLineTags : VekParseBlockMuteLineTlv;
    EXPECT_EQ(ListError([&] { parse(c.line, r, conv); }), "Unknown bans/mutes list format: " + c.error) << c.line;
  }

  TVEKBlockMuteRec t;
  VekParseBlockMuteLineTlv("12" "201a" "301b" "501\xd0" "601c" "801i" "901s" "A02\xd0\x90", t, conv);
  EXPECT_EQ(t.ClientType, clt_PC);
  EXPECT_EQ(t.ON, u"a");
  EXPECT_EQ(t.NN, u"");  // a broken UTF-8 byte decodes to nothing
  EXPECT_EQ(t.AI, u"А");
  TVEKBlockMuteRec t2;
  VekParseBlockMuteLineTlv("01" "901\xc0" "A00", t2, conv);
  EXPECT_EQ(t2.AI, u"А");
  EXPECT_EQ(t2.ClientType, clt_GATEWAY);
}

TEST_F(ProtoListsTest, AdminAndAccessLines) {
  TVEKAdminRec a;
  VekParseAdminLineTags("<NN>n</NN><CT>c</CT><BC>b</BC><CM>2</CM><ON>o</ON><ID>i</ID>", a, conv);
  EXPECT_EQ(a.ON, u"o");
  EXPECT_EQ(a.ClientType, clt_PC);
  for (const std::string line : {"<NN>n</NN><CT>c</CT><BC>b</BC><CM>3</CM><ON>o</ON><ID>i</ID>",
                                 "<NN>n</NN><CT>c</CT><BC>b</BC><CM>22</CM><ON>o</ON><ID>i</ID>",
                                 "<NN>n</NN><CT>c</CT><BC>b</BC><CM>2</CM><ON>o</ON>"}) {
    TVEKAdminRec r;
    EXPECT_EQ(ListError([&] { VekParseAdminLineTags(line, r, conv); }), "Unknown admins list format") << line;
  }
  TVEKAdminRec at;
  VekParseAdminLineTlv("01" "501\xc0" "901x", at, conv);
  EXPECT_EQ(at.NN, u"А");
  EXPECT_EQ(at.ClientType, clt_GATEWAY);
  for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
           {"01", "wrong length"}, {"x100", "wrong charset flag"}, {"0x00", "wrong client type"},
           {"01502a", "Invalid TLV: \"01502a\""}}) {
    TVEKAdminRec r;
    EXPECT_EQ(ListError([&] { VekParseAdminLineTlv(line, r, conv); }), "Unknown bans/mutes list format: " + error);
  }

  TVEKRightRec r;
  VekParseAccessLineTags("<AI>0</AI><NN>n</NN><CT>c</CT><BC>b</BC><ON>o</ON><ID>i</ID>", r, conv);
  EXPECT_TRUE(r.AI);
  EXPECT_EQ(r.ID, "i");
  TVEKRightRec r1;
  VekParseAccessLineTags("<AI>1</AI><NN></NN><CT></CT><BC></BC><ON></ON><ID></ID>", r1, conv);
  EXPECT_FALSE(r1.AI);
  TVEKRightRec rt;
  VekParseAccessLineTlv("10" "002id" "202\xd0\x90" "601c", rt, conv);
  EXPECT_TRUE(rt.AI);
  EXPECT_EQ(rt.ON, u"А");
  EXPECT_EQ(rt.ID, "id");
  EXPECT_EQ(rt.CT, u"c");
  TVEKRightRec rt2;
  VekParseAccessLineTlv("01" "201\xc0", rt2, conv);
  EXPECT_FALSE(rt2.AI);
  EXPECT_EQ(rt2.ON, u"А");
  const struct {
    std::string line, error;
  } bad[] = {
      {"<AI>2</AI><NN></NN><CT></CT><BC></BC><ON></ON><ID></ID>", "Unknown access list format"},
      {"<AI>0</AI><NN></NN><CT></CT><BC></BC><ON></ON>", "Unknown access list format"},
      {"10", "Unknown access list format"},
      {"2000", "Unknown access list format"},
      {"0200", "Unknown bans/mutes list format: wrong client type"},
      {"00205a", "Unknown access list format"},
      {"002x", "Unknown access list format"},
  };
  for (const auto& c : bad) {
    TVEKRightRec x;
    auto parse = c.line[0] == '<' ? VekParseAccessLineTags : VekParseAccessLineTlv;
    EXPECT_EQ(ListError([&] { parse(c.line, x, conv); }), c.error) << c.line;
  }
}

TEST_F(ProtoListsTest, ModesNetworksAndNotices) {
  TVEKModesArray modes = {9};
  TVEKMemoryConnection m("3\n1\n-2\n+30\n");
  VekReadAccessModes(m, modes);
  EXPECT_EQ(modes, (TVEKModesArray{1, -2, 30}));
  TVEKMemoryConnection mb("2\n1\n2x\n");
  EXPECT_EQ(ListError([&] { VekReadAccessModes(mb, modes); }), "invalid access mode(s)");
  EXPECT_EQ(modes.size(), 3u);

  TVEKNetworksArray nets;
  TVEKMemoryConnection n("2\n\xd0\x90\nB\n");
  VekReadNetworks(n, conv, true, nets);
  EXPECT_EQ(nets, (TVEKNetworksArray{u"А", u"B"}));
  TVEKMemoryConnection n2("1\n\xc0\n");
  VekReadNetworks(n2, conv, false, nets);
  EXPECT_EQ(nets, (TVEKNetworksArray{u"А"}));

  auto response = [&](const std::string& script, bool networks) -> std::string {
    TVEKMemoryConnection c(script);
    TVEKNoticesArray out;
    try {
      networks ? VekReadNetworks(c, conv, false, out) : VekReadNotices(c, conv, false, out);
    } catch (const EVEKErrorInvalidServerResponse& e) {
      return e.Message();
    }
    return "";
  };
  EXPECT_NE(response("0\n", true).find("networks: \"empty network list\""), std::string::npos);
  EXPECT_NE(response("-3\n", true).find("networks: \"empty network list\""), std::string::npos);
  EXPECT_NE(response("two\n", true).find("networks: \"two\""), std::string::npos);
  EXPECT_NE(response("99999\n", false).find("notices: \"99999\""), std::string::npos);
  EXPECT_NE(response("-1\n", false).find("notices: \"-1\""), std::string::npos);
  EXPECT_EQ(response("0\n", false), "");
}

// --- Messages --------------------------------------------------------------

TEST_F(ProtoListsTest, TextMessages) {
  const TVEKClientsArray clients = {Client("s1", u"First"), Client("s2", u"Sender"), Client("s2", u"Later")};
  const_cast<TVEKClientRec&>(clients[1]).CT = u"Town";

  for (int chunk : {0, 1}) {
    SCOPED_TRACE(chunk);
    // N counts the sender and the flag line.
    TVEKMemoryConnection c("4\ns2\nline one\n\xc0\nP\n\x07");
    c.ChunkSize = chunk;
    auto msg = VekReadTextMessage(c, conv, false, clients);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->SenderId, "s2");
    EXPECT_EQ(msg->SenderName, u"Sender");
    EXPECT_EQ(msg->SenderCity, u"Town");
    EXPECT_EQ(msg->Lines, (std::vector<std::u16string>{u"line one", u"А"}));
    EXPECT_TRUE(msg->Private);
    EXPECT_EQ(c.Unread(), 1u);

    TVEKMemoryConnection u("2\nnobody\r\nA\r\n");
    u.ChunkSize = chunk;
    msg = VekReadTextMessage(u, conv, true, clients);
    ASSERT_TRUE(msg);
    EXPECT_TRUE(msg->Lines.empty());
    EXPECT_FALSE(msg->Private);
    EXPECT_EQ(msg->SenderName, u"");
  }

  // N below 2 or not a number: no message, nothing more read.
  for (const char* n : {"1", "0", "-5", "x", ""}) {
    TVEKMemoryConnection c(std::string(n) + "\nA\nP\n");
    EXPECT_FALSE(VekReadTextMessage(c, conv, false, clients)) << n;
    EXPECT_EQ(c.Unread(), 4u) << n;
  }

  // A bad flag line drops the message; the next marker is where it should be.
  for (const char* flag : {"X", "AP", "", "p"}) {
    TVEKMemoryConnection c(std::string("3\ns1\ntext\n") + flag + "\n\x04");
    EXPECT_FALSE(VekReadTextMessage(c, conv, false, clients)) << flag;
    EXPECT_EQ(c.Unread(), 1u) << flag;
  }

  // Connection failures are not swallowed.
  TVEKMemoryConnection cut("3\ns1\ntext\n");
  EXPECT_THROW(VekReadTextMessage(cut, conv, false, clients), EVEKErrorPeerDisconnected);
  TVEKMemoryConnection slow("3\ns1\n");
  slow.AppendTimeout();
  slow.Append("text\nA\n");
  EXPECT_THROW(VekReadTextMessage(slow, conv, false, clients), EVEKErrorReadTimedout);
  TVEKMemoryConnection quiet("3\ns1\ntext", false);
  EXPECT_THROW(VekReadTextMessage(quiet, conv, false, clients), EVEKErrorPeerDisconnected);
  // A stop request during the message ends it as a stop, not as a message.
  TVEKMemoryConnection stopped("3\ns1\n");
  stopped.SetCloseAtEnd(false);
  stopped.Stopping = true;
  EXPECT_THROW(VekReadTextMessage(stopped, conv, false, clients), EVEKErrorProtoStopped);
}

}  // namespace

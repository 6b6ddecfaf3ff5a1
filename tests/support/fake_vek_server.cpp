#include "support/fake_vek_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gsm.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace vektest {

namespace {

constexpr size_t kMaxPending = 1 << 20;  // bytes of one unfinished client item

int32_t Until(uint32_t deadline) { return static_cast<int32_t>(deadline - FakeTickMs()); }

std::string Hex2(unsigned v) {
  static const char digits[] = "0123456789ABCDEF";
  return {digits[(v >> 4) & 15], digits[v & 15]};
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal integer, optional sign, nothing else.
std::optional<long long> ParseInt(const std::string& s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (i == s.size()) return std::nullopt;
  long long v = 0;
  for (size_t j = i; j < s.size(); ++j) {
    if (s[j] < '0' || s[j] > '9') return std::nullopt;
    v = v * 10 + (s[j] - '0');
  }
  return s[0] == '-' ? -v : v;
}

// Reads a hex length prefix at pos; returns false when it cannot be read.
bool ReadHexLen(const std::string& s, size_t& pos, size_t& len) {
  auto byte_at = [&](size_t p, unsigned& b) {
    if (p + 2 > s.size()) return false;
    int h = HexDigit(s[p]), l = HexDigit(s[p + 1]);
    if (h < 0 || l < 0) return false;
    b = static_cast<unsigned>(h * 16 + l);
    return true;
  };
  unsigned first;
  if (!byte_at(pos, first)) return false;
  if (first <= 0x80) {
    len = first;
    pos += 2;
    return true;
  }
  unsigned k = first - 0x80;
  if (k > 4) return false;
  size_t v = 0;
  for (unsigned i = 0; i < k; ++i) {
    unsigned b;
    if (!byte_at(pos + 2 + 2 * i, b)) return false;
    v = v * 256 + b;
  }
  pos += 2 + 2 * k;
  len = v;
  return true;
}

bool NeedsChallenge(long long sv, long long vx) {
  if (sv < 2012000) return true;
  if (sv == 2012000) return false;
  if (sv == 2013002) return vx == 2011002;
  return sv < 2014000;
}

const char* KindName(ItemKind k) {
  switch (k) {
    case ItemKind::Line: return "line";
    case ItemKind::TxPacket: return "TX packet";
    case ItemKind::Message: return "message";
    case ItemKind::Disconnected: return "disconnect";
    case ItemKind::Partial: return "partial bytes";
  }
  return "?";
}

const char* MatchName(Match m) {
  switch (m) {
    case Match::Exact: return "exact";
    case Match::Prefix: return "prefix";
    case Match::Contains: return "contains";
    case Match::Regex: return "regex";
    case Match::Any: return "any";
  }
  return "?";
}

bool Matches(Match rule, const std::string& want, const std::string& got) {
  switch (rule) {
    case Match::Exact: return got == want;
    case Match::Prefix: return got.compare(0, want.size(), want) == 0;
    case Match::Contains: return got.find(want) != std::string::npos;
    case Match::Regex: return std::regex_search(got, std::regex(want));
    case Match::Any: return true;
  }
  return false;
}

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s.substr(0, 200)) {
    if (c >= 0x20 && c < 0x7F && c != '\\') out += static_cast<char>(c);
    else out += "\\x" + Hex2(c);
  }
  if (s.size() > 200) out += "...";
  return out;
}

}  // namespace

uint32_t FakeTickMs() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// ---------------------------------------------------------------------------
// Payload builders

std::string HexLen(size_t n) {
  if (n < 128) return Hex2(static_cast<unsigned>(n));
  unsigned k = n <= 0xFF ? 1 : n <= 0xFFFF ? 2 : n <= 0xFFFFFF ? 3 : 4;
  std::string out = "8" + std::string(1, static_cast<char>('0' + k));
  for (unsigned i = k; i-- > 0;) out += Hex2(static_cast<unsigned>((n >> (8 * i)) & 0xFF));
  return out;
}

std::string HexLenField(const std::string& data) { return HexLen(data.size()) + data; }

std::optional<std::vector<std::string>> ReadHexLenFields(const std::string& s, size_t pos, int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    size_t len = 0;
    if (!ReadHexLen(s, pos, len) || len > s.size() - pos) return std::nullopt;
    out.push_back(s.substr(pos, len));
    pos += len;
  }
  return out;
}

std::string Be16(unsigned v) {
  return {static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}

std::string ChallengeReply(const std::string& kp) {
  if (kp.size() != 6 || !std::all_of(kp.begin(), kp.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {};
  auto pair = [&](size_t i) { return (kp[i] - '0') * 10 + (kp[i + 1] - '0'); };
  int a = pair(0), b = pair(2), c = pair(4);
  int n = (b + 1) * (a + 2) + (c + 7) * (c + 4);
  char s[16];
  std::snprintf(s, sizeof s, "%05d", n);
  return {s[3], s[0], s[2], s[4], s[1]};
}

std::optional<std::string> TagValue(const std::string& line, const std::string& name) {
  const std::string open = "<" + name + ">", close = "</" + name + ">";
  size_t a = line.find(open);
  if (a == std::string::npos) return std::nullopt;
  a += open.size();
  size_t b = line.find(close, a);
  if (b == std::string::npos) return std::nullopt;
  return line.substr(a, b - a);
}

std::string Tag(const std::string& name, const std::string& value) {
  return "<" + name + ">" + value + "</" + name + ">";
}

std::string ClientStatusHex(const FakeClient& c) {
  unsigned v = (c.visible & 3) | (c.lo ? 4 : 0) | (c.m ? 8 : 0) | ((c.client_type & 3) << 4) |
               (c.utf8 ? 0x80 : 0);
  return Hex2(v);
}

std::string ClientLineTags(const FakeClient& c) {
  static const char* s_codes[2][3] = {{"0", "1", "2"}, {"5", "6", "7"}};
  return Tag("ID", c.id) + Tag("ON", c.name) + Tag("NN", c.country) + Tag("CT", c.city) +
         Tag("BC", c.band) + Tag("DS", c.description) +
         Tag("S", s_codes[c.lo ? 1 : 0][std::clamp(c.visible, 0, 2)]) + Tag("M", c.m ? "1" : "0") +
         Tag("CL", std::string(1, static_cast<char>('0' + std::clamp(c.client_type, 0, 2))));
}

std::string ClientLineTlv(const FakeClient& c) {
  return ClientStatusHex(c) + "2" + HexLenField(c.name) + "3" + HexLenField(c.band) + "4" +
         HexLenField(c.description) + "5" + HexLenField(c.country) + "6" + HexLenField(c.city) +
         "8" + HexLenField(c.id);
}

std::string CountedLines(const std::vector<std::string>& lines) {
  std::string out = std::to_string(lines.size()) + "\r\n";
  for (const auto& l : lines) out += l + "\r\n";
  return out;
}

std::string ClientListTagsPayload(const std::vector<FakeClient>& clients) {
  std::vector<std::string> lines;
  for (const auto& c : clients) lines.push_back(ClientLineTags(c));
  return Be16(0) + CountedLines(lines);
}

std::string ClientListTlvPayload(const std::vector<FakeClient>& clients) {
  std::vector<std::string> lines;
  for (const auto& c : clients) lines.push_back(ClientLineTlv(c));
  return Be16(0) + CountedLines(lines);
}

std::string ClientCountPayload(int count) { return std::to_string(count) + "\r\n"; }

std::string ClientDiffPayload(const std::vector<std::string>& changes) {
  return Be16(0) + CountedLines(changes);
}

namespace {
std::string Index4(int index) {
  return Hex2(static_cast<unsigned>(index >> 8) & 0xFF) + Hex2(static_cast<unsigned>(index) & 0xFF);
}
}  // namespace

std::string DiffStatus(int index, const FakeClient& c) { return Index4(index) + "*" + ClientStatusHex(c); }
std::string DiffInsert(int index, const FakeClient& c) { return Index4(index) + "+" + ClientLineTlv(c); }
std::string DiffReplace(int index, const FakeClient& c) { return Index4(index) + "=" + ClientLineTlv(c); }
std::string DiffDelete(int index, int count) { return Index4(index) + "-" + std::to_string(count); }

std::string NetworksPayload(const std::vector<std::string>& names) { return CountedLines(names); }
std::string NoticesPayload(const std::vector<std::string>& lines) { return CountedLines(lines); }

std::string TextMessagePayload(const std::string& sender, const std::vector<std::string>& lines,
                               bool is_private) {
  std::string out = std::to_string(lines.size() + 2) + "\r\n" + sender + "\r\n";
  for (const auto& l : lines) out += l + "\r\n";
  return out + (is_private ? "P" : "A") + "\r\n";
}

namespace {
std::string TypeDigit(int t) { return std::string(1, static_cast<char>('0' + std::clamp(t, 0, 2))); }
std::string CharsetFlag(const FakeAccount& a) { return a.utf8 ? "1" : "0"; }
}  // namespace

std::string BlockMuteLineTags(const FakeAccount& a) {
  return Tag("AI", a.ai) + Tag("NN", a.country) + Tag("CT", a.city) + Tag("BC", a.band) +
         Tag("CM", TypeDigit(a.client_type)) + Tag("ON", a.name) + Tag("ID", a.id);
}

std::string BlockMuteLineTlv(const FakeAccount& a) {
  return CharsetFlag(a) + TypeDigit(a.client_type) + "2" + HexLenField(a.name) + "3" +
         HexLenField(a.band) + "5" + HexLenField(a.country) + "6" + HexLenField(a.city) + "8" +
         HexLenField(a.id) + (a.utf8 ? "A" : "9") + HexLenField(a.ai);
}

std::string AdminLineTags(const FakeAccount& a) {
  return Tag("NN", a.country) + Tag("CT", a.city) + Tag("BC", a.band) +
         Tag("CM", TypeDigit(a.client_type)) + Tag("ON", a.name) + Tag("ID", a.id);
}

std::string AdminLineTlv(const FakeAccount& a) {
  return CharsetFlag(a) + TypeDigit(a.client_type) + "2" + HexLenField(a.name) + "3" +
         HexLenField(a.band) + "5" + HexLenField(a.country) + "6" + HexLenField(a.city) + "8" +
         HexLenField(a.id);
}

std::string AccessLineTags(const FakeAccount& a) {
  return Tag("AI", a.ai) + Tag("NN", a.country) + Tag("CT", a.city) + Tag("BC", a.band) +
         Tag("ON", a.name) + Tag("ID", a.id);
}

std::string AccessLineTlv(const FakeAccount& a) {
  return CharsetFlag(a) + (a.ai == "0" ? "0" : "1") + "0" + HexLenField(a.id) + "2" +
         HexLenField(a.name) + "3" + HexLenField(a.band) + "5" + HexLenField(a.country) + "6" +
         HexLenField(a.city);
}

// ---------------------------------------------------------------------------
// Voice

std::string GsmSilenceBlock() {
  static const unsigned char bytes[kGsmBlock] = {
      0x20, 0x48, 0x17, 0xD6, 0x84, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x89, 0x02,
      0x80, 0x24, 0x49, 0x92, 0x24, 0x89, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x89,
      0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x09, 0x82, 0x74, 0x61, 0x4D, 0x28, 0x00,
      0x48, 0x92, 0x24, 0x49, 0x92, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92, 0x28,
      0x00, 0x48, 0x92, 0x24, 0x49, 0x92, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92};
  return std::string(reinterpret_cast<const char*>(bytes), kGsmBlock);
}

GsmCodec::GsmCodec() : state_(gsm_create()) {
  if (!state_) throw std::runtime_error("gsm_create failed");
  int one = 1;
  gsm_option(static_cast<gsm>(state_), GSM_OPT_WAV49, &one);
}

GsmCodec::~GsmCodec() { gsm_destroy(static_cast<gsm>(state_)); }

std::string GsmCodec::Encode(const std::vector<int16_t>& pcm) {
  if (pcm.size() % kPcmBlock != 0) throw std::invalid_argument("PCM is not whole 320-sample blocks");
  std::string out(pcm.size() / kPcmBlock * kGsmBlock, '\0');
  std::vector<gsm_signal> half(160);
  for (size_t b = 0; b < pcm.size() / kPcmBlock; ++b) {
    auto* dst = reinterpret_cast<gsm_byte*>(out.data() + b * kGsmBlock);
    std::copy_n(pcm.begin() + b * kPcmBlock, 160, half.begin());
    gsm_encode(static_cast<gsm>(state_), half.data(), dst);
    std::copy_n(pcm.begin() + b * kPcmBlock + 160, 160, half.begin());
    gsm_encode(static_cast<gsm>(state_), half.data(), dst + 32);
  }
  return out;
}

std::vector<int16_t> GsmCodec::Decode(const std::string& bytes, int* bad_blocks) {
  size_t blocks = bytes.size() / kGsmBlock;
  std::vector<int16_t> pcm(blocks * kPcmBlock, 0);
  std::string block;
  for (size_t b = 0; b < blocks; ++b) {
    block.assign(bytes, b * kGsmBlock, kGsmBlock);
    auto* src = reinterpret_cast<gsm_byte*>(block.data());
    auto* dst = reinterpret_cast<gsm_signal*>(pcm.data() + b * kPcmBlock);
    // Both halves always go through the state so it stays in step.
    int r1 = gsm_decode(static_cast<gsm>(state_), src, dst);
    int r2 = gsm_decode(static_cast<gsm>(state_), src + 33, dst + 160);
    if (r1 != 0 || r2 != 0) {
      std::fill_n(pcm.begin() + b * kPcmBlock, kPcmBlock, 0);
      if (bad_blocks) ++*bad_blocks;
    }
  }
  return pcm;
}

std::vector<int16_t> Tone(double hz, int amplitude, size_t samples, size_t start) {
  std::vector<int16_t> out(samples);
  for (size_t i = 0; i < samples; ++i)
    out[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * double(start + i) / 8000.0)));
  return out;
}

std::string SoundPayload(unsigned talker, const std::string& gsm_bytes) { return Be16(talker) + gsm_bytes; }

// ---------------------------------------------------------------------------
// Script

std::string HandshakeReply::Line2() const {
  std::string out;
  auto add = [&](const char* name, const std::optional<std::string>& v) {
    if (v) out += Tag(name, *v);
  };
  add("SV", sv);
  add("SEF", sef);
  add("AL", al);
  add("MT", mt);
  add("MTU", mtu);
  add("KP", kp);
  add("NT", nt);
  add("ID", id);
  add("BN", bn);
  add("BP", bp);
  return out + extra;
}

enum class Op {
  Expect, ExpectChallenge, ExpectRxState, ExpectClose, SkipAcks, Handshake, Send, Split,
  Talk, Sleep, Stall, Close, KeepAlives, TxPolicy, Call
};

struct Step {
  explicit Step(Op o) : op(o) {}
  Op op;
  Match match = Match::Any;
  ItemKind kind = ItemKind::Line;  // what an expect takes
  std::string text;
  uint32_t ms = 0;
  uint32_t ms2 = 0;
  int num = 0;
  bool flag = false;
  HandshakeReply reply;
  Split split;
  std::vector<int16_t> pcm;
  std::function<void()> fn;
};

Script::Script() : steps_(std::make_unique<std::vector<Step>>()) {}
Script::~Script() = default;
Script::Script(const Script& o) : steps_(std::make_unique<std::vector<Step>>(*o.steps_)), loop_(o.loop_) {}
Script& Script::operator=(const Script& o) {
  if (this != &o) {
    steps_ = std::make_unique<std::vector<Step>>(*o.steps_);
    loop_ = o.loop_;
  }
  return *this;
}
Script::Script(Script&&) noexcept = default;
Script& Script::operator=(Script&&) noexcept = default;

size_t Script::StepCount() const { return steps_->size(); }

Script& Script::Add(Step s) {
  steps_->push_back(std::move(s));
  return *this;
}

Script& Script::Expect(Match rule, std::string text, uint32_t timeout_ms) {
  Step s{Op::Expect};
  s.match = rule;
  s.text = std::move(text);
  s.ms = timeout_ms;
  return Add(std::move(s));
}

Script& Script::ExpectChallengeReply(bool only_if_needed) {
  Step s{Op::ExpectChallenge};
  s.flag = only_if_needed;
  s.ms = 10000;
  return Add(std::move(s));
}

Script& Script::ExpectRxState(int status) {
  Step s{Op::ExpectRxState};
  s.num = status;
  s.ms = 10000;
  return Add(std::move(s));
}

Script& Script::ExpectTx(std::string header, uint32_t timeout_ms) {
  Step s{Op::Expect};
  s.kind = ItemKind::TxPacket;
  if (!header.empty()) {
    s.match = Match::Exact;
    s.text = std::move(header);
  }
  s.ms = timeout_ms;
  return Add(std::move(s));
}

Script& Script::ExpectMessage(Match rule, std::string text) {
  Step s{Op::Expect};
  s.kind = ItemKind::Message;
  s.match = rule;
  s.text = std::move(text);
  s.ms = 10000;
  return Add(std::move(s));
}

Script& Script::ExpectClose(uint32_t timeout_ms) {
  Step s{Op::ExpectClose};
  s.ms = timeout_ms;
  return Add(std::move(s));
}

Script& Script::SkipAcks(bool on) {
  Step s{Op::SkipAcks};
  s.flag = on;
  return Add(std::move(s));
}

Script& Script::Handshake(const HandshakeReply& reply) {
  Step s{Op::Handshake};
  s.reply = reply;
  return Add(std::move(s));
}

Script& Script::Send(std::string bytes) {
  Step s{Op::Send};
  s.text = std::move(bytes);
  return Add(std::move(s));
}

Script& Script::Marker(uint8_t marker, std::string payload) {
  return Send(std::string(1, static_cast<char>(marker)) + payload);
}

Script& Script::SplitSends(Split split) {
  Step s{Op::Split};
  s.split = std::move(split);
  return Add(std::move(s));
}

Script& Script::Talk(unsigned talker, std::vector<int16_t> pcm, bool short_frames) {
  size_t per = kPcmBlock * (short_frames ? 1 : 5);
  pcm.resize((pcm.size() + per - 1) / per * per, 0);
  Step s{Op::Talk};
  s.num = static_cast<int>(talker);
  s.flag = short_frames;
  s.pcm = std::move(pcm);
  return Add(std::move(s));
}

Script& Script::Sound(unsigned talker, std::vector<int16_t> pcm, bool short_frames) {
  Talk(talker, std::move(pcm), short_frames);
  steps_->back().ms2 = 1;  // unpaced
  return *this;
}

Script& Script::Sleep(uint32_t ms) {
  Step s{Op::Sleep};
  s.ms = ms;
  return Add(std::move(s));
}

Script& Script::Stall(uint32_t ms) {
  Step s{Op::Stall};
  s.ms = ms;
  return Add(std::move(s));
}

Script& Script::Close() { return Add(Step{Op::Close}); }

Script& Script::KeepAlives(uint32_t interval_ms, uint8_t marker) {
  Step s{Op::KeepAlives};
  s.ms = interval_ms;
  s.num = marker;
  return Add(std::move(s));
}

Script& Script::TxPolicy(TxMode mode, uint32_t delay_ms, uint32_t take_away_ms) {
  Step s{Op::TxPolicy};
  s.num = static_cast<int>(mode);
  s.ms = delay_ms;
  s.ms2 = take_away_ms;
  return Add(std::move(s));
}

Script& Script::Loop() {
  loop_ = steps_->size();
  return *this;
}

Script& Script::Call(std::function<void()> fn) {
  Step s{Op::Call};
  s.fn = std::move(fn);
  return Add(std::move(s));
}

Script& Script::Login(const HandshakeReply& reply, std::vector<std::string> networks) {
  ExpectLogin();
  Handshake(reply);
  ExpectChallengeReply(true);
  ExpectRxState(-1);
  Networks(networks);
  return ExpectAck();
}

// ----- text form

namespace {

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    switch (c) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 's': out += ' '; break;
      case '0': out += '\0'; break;
      case 'x': {
        int h = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
        int l = i + 2 < s.size() ? HexDigit(s[i + 2]) : -1;
        if (h < 0 || l < 0) throw std::runtime_error("bad \\x escape");
        out += static_cast<char>(h * 16 + l);
        i += 2;
        break;
      }
      default: out += c;
    }
  }
  return out;
}

std::string ParseHex(const std::vector<std::string>& words, size_t from) {
  std::string joined;
  for (size_t i = from; i < words.size(); ++i) joined += words[i];
  if (joined.size() % 2) throw std::runtime_error("odd number of hex digits");
  std::string out;
  for (size_t i = 0; i < joined.size(); i += 2) {
    int h = HexDigit(joined[i]), l = HexDigit(joined[i + 1]);
    if (h < 0 || l < 0) throw std::runtime_error("bad hex digit");
    out += static_cast<char>(h * 16 + l);
  }
  return out;
}

uint32_t ParseMs(const std::string& w) {
  auto v = ParseInt(w);
  if (!v || *v < 0 || *v > 86400000) throw std::runtime_error("bad number '" + w + "'");
  return static_cast<uint32_t>(*v);
}

HandshakeReply ParseReply(const std::vector<std::string>& words, size_t from) {
  HandshakeReply r;
  for (size_t i = from; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.size() > 1 && w[0] == '-') {
      std::string name = w.substr(1);
      std::optional<std::string>* field = nullptr;
      if (name == "SV") field = &r.sv;
      else if (name == "AL") field = &r.al;
      else if (name == "MT") field = &r.mt;
      else throw std::runtime_error("only SV, AL and MT can be left out: " + w);
      field->reset();
      continue;
    }
    size_t eq = w.find('=');
    if (eq == std::string::npos) throw std::runtime_error("expected TAG=value: " + w);
    std::string name = w.substr(0, eq), value = Unescape(w.substr(eq + 1));
    if (name == "LINE1") r.line1 = value;
    else if (name == "SV") r.sv = value;
    else if (name == "AL") r.al = value;
    else if (name == "MT") r.mt = value;
    else if (name == "SEF") r.sef = value;
    else if (name == "MTU") r.mtu = value;
    else if (name == "KP") r.kp = value;
    else if (name == "NT") r.nt = value;
    else if (name == "ID") r.id = value;
    else if (name == "BN") r.bn = value;
    else if (name == "BP") r.bp = value;
    else if (name == "EXTRA") r.extra = value;
    else throw std::runtime_error("unknown handshake tag " + name);
  }
  return r;
}

std::vector<FakeClient> ParseClients(const std::vector<std::string>& words, size_t from) {
  std::vector<FakeClient> out;
  for (size_t i = from; i < words.size(); ++i) {
    FakeClient c;
    std::vector<std::string> parts;
    std::stringstream ss(words[i]);
    for (std::string p; std::getline(ss, p, ':');) parts.push_back(Unescape(p));
    if (parts.size() < 2 || parts.size() > 3) throw std::runtime_error("client is ID:NAME[:CITY]: " + words[i]);
    c.id = parts[0];
    c.name = parts[1];
    if (parts.size() == 3) c.city = parts[2];
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace

Script Script::Parse(const std::string& text) {
  Script s;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::vector<std::string> w;
    std::istringstream ws(line);
    for (std::string t; ws >> t;) w.push_back(t);
    // The rest of the line after the first n words, for texts with blanks.
    auto rest = [&](size_t n) {
      size_t pos = first;
      for (size_t i = 0; i < n; ++i) {
        pos = line.find_first_of(" \t", pos);
        pos = pos == std::string::npos ? line.size() : line.find_first_not_of(" \t", pos);
        if (pos == std::string::npos) pos = line.size();
      }
      return Unescape(line.substr(pos));
    };
    auto need = [&](size_t n) {
      if (w.size() < n) throw std::runtime_error("too few arguments");
    };
    try {
      const std::string& cmd = w[0];
      if (cmd == "expect") {
        need(2);
        static const std::pair<const char*, Match> rules[] = {
            {"exact", Match::Exact}, {"prefix", Match::Prefix}, {"contains", Match::Contains},
            {"regex", Match::Regex}, {"any", Match::Any}};
        auto it = std::find_if(std::begin(rules), std::end(rules), [&](auto& r) { return w[1] == r.first; });
        if (it == std::end(rules)) throw std::runtime_error("unknown match rule " + w[1]);
        s.Expect(it->second, rest(2));
      } else if (cmd == "expect-login") {
        s.ExpectLogin();
      } else if (cmd == "expect-challenge") {
        s.ExpectChallengeReply(w.size() > 1 && w[1] == "if-needed");
      } else if (cmd == "expect-rx-state") {
        s.ExpectRxState(w.size() > 1 ? static_cast<int>(ParseMs(w[1])) : -1);
      } else if (cmd == "expect-ack") {
        s.ExpectAck();
      } else if (cmd == "expect-tx") {
        s.ExpectTx(w.size() > 1 ? w[1] : "");
      } else if (cmd == "expect-message") {
        s.ExpectMessage(Match::Any);
      } else if (cmd == "expect-close") {
        s.ExpectClose();
      } else if (cmd == "skip-acks") {
        need(2);
        s.SkipAcks(w[1] == "on");
      } else if (cmd == "handshake") {
        s.Handshake(ParseReply(w, 1));
      } else if (cmd == "login") {
        s.Login(ParseReply(w, 1));
      } else if (cmd == "send") {
        s.Send(rest(1));
      } else if (cmd == "send-line") {
        s.SendLine(rest(1));
      } else if (cmd == "send-hex") {
        s.Send(ParseHex(w, 1));
      } else if (cmd == "marker") {
        need(2);
        std::string m = ParseHex(w, 1);
        s.Send(m);
      } else if (cmd == "keepalive") {
        s.KeepAlive();
      } else if (cmd == "approve") {
        s.Approve();
      } else if (cmd == "networks") {
        need(2);
        std::vector<std::string> names;
        for (size_t i = 1; i < w.size(); ++i) names.push_back(Unescape(w[i]));
        s.Networks(names);
      } else if (cmd == "clients") {
        need(2);
        auto clients = ParseClients(w, 2);
        if (w[1] == "tags") s.Marker(0x03, ClientListTagsPayload(clients));
        else if (w[1] == "tlv") s.Marker(0x83, ClientListTlvPayload(clients));
        else throw std::runtime_error("clients format is tags or tlv");
      } else if (cmd == "client-count") {
        need(2);
        s.Marker(0x82, ClientCountPayload(static_cast<int>(ParseMs(w[1]))));
      } else if (cmd == "message") {
        need(3);
        if (w[2] != "public" && w[2] != "private") throw std::runtime_error("message is public or private");
        std::vector<std::string> lines;
        std::stringstream ts(rest(3));
        for (std::string l; std::getline(ts, l);) lines.push_back(l);
        s.Marker(0x04, TextMessagePayload(Unescape(w[1]), lines, w[2] == "private"));
      } else if (cmd == "split") {
        need(2);
        if (w[1] == "off") s.SplitSends({});
        else s.SplitSends(Split{{}, ParseMs(w[1]), w.size() > 2 ? ParseMs(w[2]) : 0});
      } else if (cmd == "talk") {
        need(4);
        uint32_t ms = ParseMs(w[3]);
        s.Talk(ParseMs(w[1]), Tone(ParseMs(w[2]), 8000, size_t(ms) * 8), w.size() > 4 && w[4] == "short");
      } else if (cmd == "sound") {
        need(3);
        bool is_short = w.size() > 3 && w[3] == "short";
        s.Sound(ParseMs(w[1]), Tone(ParseMs(w[2]), 8000, (is_short ? 1 : 5) * kPcmBlock), is_short);
      } else if (cmd == "sleep") {
        need(2);
        s.Sleep(ParseMs(w[1]));
      } else if (cmd == "stall") {
        need(2);
        s.Stall(ParseMs(w[1]));
      } else if (cmd == "close") {
        s.Close();
      } else if (cmd == "keepalives") {
        need(2);
        s.KeepAlives(w[1] == "off" ? 0 : ParseMs(w[1]));
      } else if (cmd == "tx") {
        need(2);
        if (w[1] == "ignore") s.TxPolicy(TxMode::Ignore);
        else if (w[1] == "approve")
          s.TxPolicy(TxMode::Approve, w.size() > 2 ? ParseMs(w[2]) : 0, w.size() > 3 ? ParseMs(w[3]) : 0);
        else throw std::runtime_error("tx is approve or ignore");
      } else if (cmd == "loop") {
        s.Loop();
      } else {
        throw std::runtime_error("unknown step " + cmd);
      }
    } catch (const std::exception& e) {
      throw std::runtime_error("script line " + std::to_string(number) + ": " + e.what());
    }
  }
  return s;
}

// ---------------------------------------------------------------------------
// One connection

class Session {
 public:
  Session(FakeVekServer& server, int fd, int connection, const Script& script, const std::atomic<bool>& stop)
      : srv_(server), fd_(fd), conn_(connection), script_(script), stop_(stop) {
    std::lock_guard lock(srv_.mu_);
    pending_limit_ = srv_.limit_;
  }

  void Run() {
    const auto& steps = script_.Steps();
    size_t pc = 0;
    bool counted = false;
    auto count_finished = [&] {
      if (counted) return;
      counted = true;
      std::lock_guard lock(srv_.mu_);
      ++srv_.finished_;
      srv_.cv_.notify_all();
    };
    while (open_ && !stop_) {
      if (pc >= steps.size()) {
        count_finished();
        auto loop = script_.LoopStart();
        if (loop && *loop < steps.size()) {
          pc = *loop;
          continue;
        }
        Pump(1000, true);  // script done: keep serving until the link ends
        continue;
      }
      if (!Execute(steps[pc], pc)) {
        if (ended_ok_) count_finished();
        break;
      }
      ++pc;
    }
  }

 private:
  // ----- I/O

  // One wait of at most wait_ms; reads what arrives when 'read' and serves
  // the background timers when 'background'. False once the link is down.
  bool Pump(uint32_t wait_ms, bool background, bool read = true) {
    if (!open_ || stop_) return false;
    if (background) {
      uint32_t next = NextBackgroundDue();
      if (next != 0) wait_ms = std::min<uint32_t>(wait_ms, std::max<int32_t>(0, Until(next)));
    }
    // A negative descriptor is ignored by poll, so a stall neither reads
    // nor spins on a hang-up.
    pollfd fds[2] = {{read ? fd_ : -1, POLLIN, 0}, {srv_.wake_[0], POLLIN, 0}};
    int r = poll(fds, 2, static_cast<int>(wait_ms));
    if (r < 0 && errno != EINTR) return Down("poll: " + std::string(std::strerror(errno)));
    if (stop_) return false;
    if (r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[65536];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        Frame();
      } else if (n == 0) {
        return Down("eof");
      } else if (errno != EAGAIN && errno != EINTR) {
        return Down(std::strerror(errno));
      }
    }
    if (background && open_) Background();
    return open_;
  }

  // Waits until the deadline, or until done() holds.
  bool WaitUntil(uint32_t deadline, bool background, const std::function<bool()>& done = {}) {
    while (open_ && !stop_) {
      if (done && done()) return true;
      int32_t left = Until(deadline);
      if (left <= 0) return !done;
      Pump(static_cast<uint32_t>(left), background);
    }
    return false;
  }

  bool Down(const std::string& why) {
    if (!open_) return false;
    open_ = false;
    if (!in_.empty()) Record(ItemKind::Partial, in_);
    in_.clear();
    Record(ItemKind::Disconnected, why);
    return false;
  }

  bool WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size() && open_ && !stop_) {
      ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {srv_.wake_[0], POLLIN, 0}};
        poll(fds, 2, 1000);
        continue;
      }
      return Down(std::string("send: ") + std::strerror(errno));
    }
    if (done > 0) srv_.RecordSent(conn_, bytes.substr(0, done));
    return open_ && done == bytes.size();
  }

  // Writes in the chunks the split rule asks for; between chunks the
  // client's bytes are still read, but no background marker may cut in.
  bool SendSplit(const std::string& bytes) {
    if (!split_.Active()) return WriteAll(bytes);
    std::vector<size_t> cuts;
    for (size_t c : split_.cuts)
      if (c > 0 && c < bytes.size()) cuts.push_back(c);
    if (split_.every > 0)
      for (size_t c = split_.every; c < bytes.size(); c += split_.every) cuts.push_back(c);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    cuts.push_back(bytes.size());
    size_t from = 0;
    for (size_t c : cuts) {
      if (from > 0 && split_.delay_ms > 0) WaitUntil(FakeTickMs() + split_.delay_ms, false);
      if (!WriteAll(bytes.substr(from, c - from))) return false;
      from = c;
    }
    return true;
  }

  // ----- what the client sends

  void Record(ItemKind kind, std::string text, std::string gsm_bytes = {}) {
    ClientItem item;
    item.tick = FakeTickMs();
    item.connection = conn_;
    item.kind = kind;
    item.text = std::move(text);
    if (kind == ItemKind::TxPacket) {
      item.pcm = decoder_.Decode(gsm_bytes, &item.bad_blocks);
      item.gsm = std::move(gsm_bytes);
    }
    if (kind == ItemKind::Line) Observe(item.text);
    if (pending_.size() >= pending_limit_) pending_.pop_front();
    pending_.push_back(item);
    srv_.Record(std::move(item));
  }

  // Cuts complete items off the input: lines, TX packets, text messages.
  void Frame() {
    for (;;) {
      if (in_.size() >= 5 && (in_.compare(0, 5, "TX1\r\n") == 0 || in_.compare(0, 5, "TX8\r\n") == 0)) {
        size_t len = 5 + (in_[2] == '1' ? 5 : 1) * kGsmBlock;
        if (in_.size() < len) break;
        Record(ItemKind::TxPacket, in_.substr(0, 3), in_.substr(5, len - 5));
        in_.erase(0, len);
        continue;
      }
      size_t end = std::string::npos;  // index past the item's LF
      ItemKind kind = ItemKind::Line;
      if (in_.compare(0, 4, "TME:") == 0) {
        kind = ItemKind::Message;
        size_t pos = 4, len = 0;
        bool ok = true, more = false;
        for (int f = 0; f < 3 && ok; ++f) {
          size_t at = pos;
          if (!ReadHexLen(in_, pos, len)) {
            // Too few bytes for the prefix yet, or not a prefix at all.
            more = in_.size() < at + 10 && in_.find('\n', at) == std::string::npos;
            ok = false;
          } else if (len > kMaxPending) {
            ok = false;
          } else if (in_.size() < pos + len) {
            more = ok = false;
          } else {
            pos += len;
          }
        }
        if (!ok && more) break;
        if (ok && in_.size() < pos + 2) break;
        if (ok && in_.compare(pos, 2, "\r\n") == 0) end = pos + 2;
        else end = in_.find('\n', 4) == std::string::npos ? std::string::npos : in_.find('\n', 4) + 1;
      } else if (in_.compare(0, 3, "TM:") == 0) {
        kind = ItemKind::Message;
        size_t ms = in_.find("</MS>");
        if (ms != std::string::npos) {
          size_t lf = in_.find('\n', ms);
          if (lf != std::string::npos) end = lf + 1;
        }
      } else {
        size_t lf = in_.find('\n');
        if (lf != std::string::npos) end = lf + 1;
      }
      if (end == std::string::npos) {
        if (in_.size() > kMaxPending) {
          srv_.Fail("connection " + std::to_string(conn_) + ": client sent " +
                    std::to_string(in_.size()) + " bytes without an item end");
          aborted_ = true;
          in_.resize(4096);
          Down("overlong item");
        }
        break;
      }
      std::string text = in_.substr(0, end - 1);
      if (!text.empty() && text.back() == '\r') text.pop_back();
      in_.erase(0, end);
      Record(kind, std::move(text));
    }
  }

  // The background reacts to lines as they arrive, not when a step reads them.
  void Observe(const std::string& line) {
    if (line.compare(0, 3, "CT:") == 0) login_ = line;
    if (line == "TX0") {
      tx_asked_ = true;
      if (tx_mode_ == TxMode::Approve && !approve_at_) approve_at_ = FakeTickMs() + tx_delay_;
    }
    if (line == "RX0") {
      take_at_.reset();
      tx_turn_ = false;
      tx_asked_ = false;
    }
  }

  uint32_t NextBackgroundDue() const {
    uint32_t best = 0;
    auto consider = [&](std::optional<uint32_t> t) {
      if (t && (best == 0 || static_cast<int32_t>(*t - best) < 0)) best = *t;
    };
    if (KeepAlivesDue()) consider(ka_next_);
    consider(approve_at_);
    consider(take_at_);
    return best;
  }

  // A keep-alive would end the client's own turn, so none is sent while it
  // holds the channel; its voice packets keep its timeout at bay.
  bool KeepAlivesDue() const { return ka_interval_ > 0 && !ka_paused_ && !tx_turn_; }

  void Background() {
    uint32_t now = FakeTickMs();
    if (KeepAlivesDue() && static_cast<int32_t>(now - ka_next_) >= 0) {
      // Whole intervals only: a late wake-up sends one keep-alive, not a burst.
      while (static_cast<int32_t>(now - ka_next_) >= 0) ka_next_ += ka_interval_;
      WriteAll(std::string(1, static_cast<char>(ka_marker_)));
    }
    if (approve_at_ && static_cast<int32_t>(now - *approve_at_) >= 0) {
      approve_at_.reset();
      if (tx_mode_ == TxMode::Approve) {
        WriteAll(std::string("\x01", 1) + Be16(0));
        tx_turn_ = true;
        tx_asked_ = false;
        if (tx_take_ > 0) take_at_ = now + tx_take_;
      }
    }
    if (take_at_ && static_cast<int32_t>(now - *take_at_) >= 0) {
      take_at_.reset();
      tx_turn_ = false;
      WriteAll(std::string(1, '\0'));
    }
  }

  // Next item for an expect; nullopt when the link ended or time ran out.
  std::optional<ClientItem> Next(uint32_t deadline, bool skip_acks) {
    for (;;) {
      while (!pending_.empty()) {
        ClientItem item = std::move(pending_.front());
        pending_.pop_front();
        if (skip_acks && item.kind == ItemKind::Line && item.text == "P") continue;
        return item;
      }
      if (!open_ || stop_ || Until(deadline) <= 0) return std::nullopt;
      Pump(static_cast<uint32_t>(std::max<int32_t>(0, Until(deadline))), true);
    }
  }

  bool Fail(size_t pc, const std::string& what) {
    srv_.Fail("connection " + std::to_string(conn_) + " step " + std::to_string(pc + 1) + ": " + what);
    CloseLink();
    return false;
  }

  void CloseLink() {
    if (open_) {
      shutdown(fd_, SHUT_RDWR);
      open_ = false;
    }
  }

  bool ExpectItem(size_t pc, ItemKind kind, Match rule, const std::string& want, uint32_t timeout,
                  bool skip_acks) {
    std::string wanted = std::string(KindName(kind)) + " " + MatchName(rule) + " '" + Printable(want) + "'";
    auto item = Next(FakeTickMs() + timeout, skip_acks);
    if (aborted_) return false;  // already reported
    if (!item) return stop_ ? false : Fail(pc, "expected " + wanted + ", timed out");
    bool ok = item->kind == kind;
    if (ok) {
      try {
        ok = Matches(rule, want, item->text);
      } catch (const std::regex_error& e) {
        return Fail(pc, "bad regex '" + want + "': " + e.what());
      }
    }
    if (!ok) return Fail(pc, "expected " + wanted + ", got " + KindName(item->kind) + " '" + Printable(item->text) + "'");
    return true;
  }

  bool Execute(const Step& s, size_t pc) {
    switch (s.op) {
      case Op::Expect:
        return ExpectItem(pc, s.kind, s.match, s.text, s.ms,
                          skip_acks_ && !(s.match == Match::Exact && s.text == "P"));
      case Op::ExpectChallenge: {
        std::string reply = ChallengeReply(kp_);
        if (s.flag) {
          auto sv = ParseInt(sv_);
          auto vx = ParseInt(TagValue(login_, "VX").value_or(""));
          if (!sv || !NeedsChallenge(*sv, vx.value_or(0)) || reply.empty()) return true;
        } else if (reply.empty()) {
          return Fail(pc, "no six-digit KP was sent, so no challenge reply can be checked");
        }
        return ExpectItem(pc, ItemKind::Line, Match::Exact, reply, s.ms, skip_acks_);
      }
      case Op::ExpectRxState: {
        uint32_t deadline = FakeTickMs() + s.ms;
        if (s.num == 0) return ExpectItem(pc, ItemKind::Line, Match::Exact, "RX0", s.ms, skip_acks_);
        if (s.num > 0 &&
            !ExpectItem(pc, ItemKind::Line, Match::Exact, "ST:" + std::to_string(s.num), s.ms, skip_acks_))
          return false;
        if (s.num < 0) {
          auto item = Next(deadline, skip_acks_);
          if (!item) return stop_ ? false : Fail(pc, "expected the RX state lines, timed out");
          if (item->kind == ItemKind::Line && item->text == "RX0") return true;
          if (item->kind != ItemKind::Line || item->text.compare(0, 3, "ST:") != 0 || item->text.size() != 4)
            return Fail(pc, "expected 'ST:<digit>' or 'RX0', got " + std::string(KindName(item->kind)) + " '" +
                                Printable(item->text) + "'");
        }
        return ExpectItem(pc, ItemKind::Line, Match::Exact, "RX0", std::max<int32_t>(0, Until(deadline)), skip_acks_);
      }
      case Op::ExpectClose: {
        uint32_t deadline = FakeTickMs() + s.ms;
        for (;;) {
          auto item = Next(deadline, false);
          if (!item) return stop_ ? false : Fail(pc, "expected the client to close, timed out");
          if (item->kind == ItemKind::Disconnected) {
            ended_ok_ = true;  // the session ends here, as scripted
            return false;
          }
        }
      }
      case Op::SkipAcks:
        skip_acks_ = s.flag;
        return true;
      case Op::Handshake:
        kp_ = s.reply.kp.value_or("");
        sv_ = s.reply.sv.value_or("");
        return SendSplit(s.reply.line1 + "\r\n" + s.reply.Line2() + "\r\n");
      case Op::Send:
        if (!s.text.empty() && s.text[0] == '\x01') {
          tx_turn_ = true;
          tx_asked_ = false;
        }
        if (!s.text.empty() && s.text[0] == '\0') tx_turn_ = false;
        return SendSplit(s.text);
      case Op::Split:
        split_ = s.split;
        return true;
      case Op::Talk: {
        ka_paused_ = true;
        size_t per = s.flag ? 1 : 5;
        uint32_t period = static_cast<uint32_t>(per * 40);
        // The first packet goes at once, the others on a grid from it.
        const bool paced = s.ms2 == 0;
        uint32_t start = 0;
        size_t packets = s.pcm.size() / (per * kPcmBlock);
        for (size_t i = 0; i < packets && open_; ++i) {
          std::vector<int16_t> part(s.pcm.begin() + i * per * kPcmBlock, s.pcm.begin() + (i + 1) * per * kPcmBlock);
          std::string packet = std::string(1, static_cast<char>(s.flag ? 0x81 : 0x02)) +
                               SoundPayload(static_cast<unsigned>(s.num), encoder_.Encode(part));
          if (i > 0 && paced) WaitUntil(start + static_cast<uint32_t>(i) * period, true);
          if (!SendSplit(packet)) break;
          if (i == 0) start = FakeTickMs();
        }
        if (packets > 0 && paced) WaitUntil(start + static_cast<uint32_t>(packets) * period, true);
        ka_paused_ = false;
        ka_next_ = FakeTickMs() + ka_interval_;
        return open_;
      }
      case Op::Sleep:
        WaitUntil(FakeTickMs() + s.ms, true);
        return open_;
      case Op::Stall: {
        uint32_t deadline = FakeTickMs() + s.ms;
        while (!stop_ && Until(deadline) > 0) Pump(static_cast<uint32_t>(Until(deadline)), false, false);
        return open_ && !stop_;
      }
      case Op::Close:
        CloseLink();
        ended_ok_ = true;
        return false;
      case Op::KeepAlives:
        ka_interval_ = s.ms;
        ka_marker_ = static_cast<uint8_t>(s.num);
        ka_next_ = FakeTickMs() + s.ms;
        return true;
      case Op::TxPolicy:
        tx_mode_ = static_cast<TxMode>(s.num);
        tx_delay_ = s.ms;
        tx_take_ = s.ms2;
        if (tx_mode_ == TxMode::Ignore) approve_at_.reset();
        // A request that came in before the script got here (in the same
        // read as the line an expect waited for, say) still waits for its
        // answer: the policy covers it too.
        else if (tx_asked_ && !approve_at_ && !tx_turn_) approve_at_ = FakeTickMs() + tx_delay_;
        return true;
      case Op::Call:
        if (s.fn) s.fn();
        return true;
    }
    return true;
  }

  FakeVekServer& srv_;
  int fd_;
  int conn_;
  const Script& script_;
  const std::atomic<bool>& stop_;
  bool open_ = true;
  bool ended_ok_ = false;
  bool aborted_ = false;
  std::string in_;
  std::deque<ClientItem> pending_;  // items no expect has taken yet
  size_t pending_limit_ = 1;
  GsmCodec encoder_, decoder_;
  Split split_;
  bool skip_acks_ = false;
  std::string kp_, sv_, login_;
  uint32_t ka_interval_ = 0, ka_next_ = 0;
  uint8_t ka_marker_ = 0;
  bool ka_paused_ = false;
  bool tx_turn_ = false;  // the client holds the channel
  bool tx_asked_ = false;  // a "TX0" not yet approved nor given up with "RX0"
  TxMode tx_mode_ = TxMode::Ignore;
  uint32_t tx_delay_ = 0, tx_take_ = 0;
  std::optional<uint32_t> approve_at_, take_at_;
};

// ---------------------------------------------------------------------------
// The server

FakeVekServer::FakeVekServer(Script script) : FakeVekServer(std::vector<Script>{std::move(script)}) {}

FakeVekServer::FakeVekServer(std::vector<Script> scripts, uint16_t port) : scripts_(std::move(scripts)) {
  if (scripts_.empty()) scripts_.emplace_back();
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("FakeVekServer: socket: " + std::string(std::strerror(errno)));
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_fd_, 8) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      pipe2(wake_, O_CLOEXEC) != 0) {
    std::string err = std::strerror(errno);
    close(listen_fd_);
    throw std::runtime_error("FakeVekServer: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + err);
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

FakeVekServer::~FakeVekServer() {
  Stop();
  if (listen_fd_ >= 0) close(listen_fd_);
  if (wake_[0] >= 0) close(wake_[0]);
  if (wake_[1] >= 0) close(wake_[1]);
}

void FakeVekServer::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  char b = 1;
  while (write(wake_[1], &b, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
}

void FakeVekServer::Serve() {
  std::atomic<bool>& stop = stop_;
  while (!stop) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (stop) break;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int conn;
    {
      std::lock_guard lock(mu_);
      conn = ++connections_;
      cv_.notify_all();
    }
    const Script& script = scripts_[std::min<size_t>(static_cast<size_t>(conn - 1), scripts_.size() - 1)];
    try {
      Session(*this, fd, conn, script, stop).Run();
    } catch (const std::exception& e) {
      Fail("connection " + std::to_string(conn) + ": " + e.what());
    }
    close(fd);
    std::lock_guard lock(mu_);
    ++disconnects_;
    cv_.notify_all();
  }
}

void FakeVekServer::Record(ClientItem item) {
  std::function<void(const ClientItem&)> fn;
  {
    std::lock_guard lock(mu_);
    if (items_.size() >= limit_) items_.pop_front();
    items_.push_back(item);
    fn = on_item_;
    cv_.notify_all();
  }
  if (fn) fn(item);
}

void FakeVekServer::RecordSent(int connection, const std::string& bytes) {
  std::lock_guard lock(mu_);
  if (sent_.size() >= limit_) sent_.pop_front();
  sent_.push_back({FakeTickMs(), connection, bytes});
}

void FakeVekServer::Fail(std::string text) {
  std::lock_guard lock(mu_);
  failures_.push_back(std::move(text));
  cv_.notify_all();
}

void FakeVekServer::SetRecordLimit(size_t n) {
  std::lock_guard lock(mu_);
  limit_ = std::max<size_t>(n, 1);
}

void FakeVekServer::SetOnItem(std::function<void(const ClientItem&)> fn) {
  std::lock_guard lock(mu_);
  on_item_ = std::move(fn);
}

std::vector<ClientItem> FakeVekServer::Items() const {
  std::lock_guard lock(mu_);
  return {items_.begin(), items_.end()};
}

std::vector<std::string> FakeVekServer::Lines() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  for (const auto& i : items_)
    if (i.kind == ItemKind::Line) out.push_back(i.text);
  return out;
}

std::vector<SentChunk> FakeVekServer::Sent() const {
  std::lock_guard lock(mu_);
  return {sent_.begin(), sent_.end()};
}

std::vector<std::string> FakeVekServer::Failures() const {
  std::lock_guard lock(mu_);
  return failures_;
}

int FakeVekServer::Connections() const {
  std::lock_guard lock(mu_);
  return connections_;
}

int FakeVekServer::FinishedScripts() const {
  std::lock_guard lock(mu_);
  return finished_;
}

bool FakeVekServer::WaitFor(const std::function<bool(const std::vector<ClientItem>&)>& pred,
                            uint32_t timeout_ms) const {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock lock(mu_);
  for (;;) {
    std::vector<ClientItem> snapshot(items_.begin(), items_.end());
    if (pred(snapshot)) return true;
    if (cv_.wait_until(lock, until) == std::cv_status::timeout) {
      snapshot.assign(items_.begin(), items_.end());
      return pred(snapshot);
    }
  }
}

bool FakeVekServer::WaitForLine(const std::string& exact, uint32_t timeout_ms) const {
  return WaitFor(
      [&](const std::vector<ClientItem>& items) {
        return std::any_of(items.begin(), items.end(),
                           [&](const ClientItem& i) { return i.kind == ItemKind::Line && i.text == exact; });
      },
      timeout_ms);
}

bool FakeVekServer::WaitForScripts(int n, uint32_t timeout_ms) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return finished_ >= n; });
}

bool FakeVekServer::WaitForDisconnects(int n, uint32_t timeout_ms) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return disconnects_ >= n; });
}

}  // namespace vektest

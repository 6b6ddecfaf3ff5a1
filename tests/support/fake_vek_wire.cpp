#include "support/fake_vek_wire.h"

#include <gsm.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "support/fake_vek_internal.h"

namespace vektest {

namespace fakevek {

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

}  // namespace fakevek

using fakevek::Hex2;
using fakevek::ReadHexLen;

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

}  // namespace vektest

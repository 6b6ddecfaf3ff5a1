// The VEK wire as the fake server writes it: hex lengths, tags, the list,
// message and notice payloads, and the GSM voice blocks on libgsm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vektest {

// Monotonic milliseconds, 32-bit and wrapping like the client's clock.
uint32_t FakeTickMs();

// ---------------------------------------------------------------------------
// Payload builders

// One client as the server describes it in its lists.
struct FakeClient {
  std::string id;
  std::string name;         // ON
  std::string country;      // NN
  std::string city;         // CT
  std::string band;         // BC
  std::string description;  // DS
  int visible = 0;          // 0 available, 1 not available, 2 absent
  bool lo = false;
  bool m = false;
  int client_type = 2;      // 0 crosslink, 1 gateway, 2 PC
  bool utf8 = false;        // texts are UTF-8 (status bit 7)
};

// Hex length prefix: two digits below 128, else '8', the byte count and
// the length bytes.
std::string HexLen(size_t n);
std::string HexLenField(const std::string& data);
// Reads 'count' hex-length fields from pos (as in a "TME:" message); nullopt
// when one cannot be read or runs past the end.
std::optional<std::vector<std::string>> ReadHexLenFields(const std::string& s, size_t pos, int count);
std::string Be16(unsigned v);

// The five characters the client must answer to a six-digit KP value,
// or empty when the value is not six decimal digits.
std::string ChallengeReply(const std::string& kp);

// The value of <name>...</name> in a line, if present.
std::optional<std::string> TagValue(const std::string& line, const std::string& name);
std::string Tag(const std::string& name, const std::string& value);

std::string ClientStatusHex(const FakeClient& c);
std::string ClientLineTags(const FakeClient& c);
std::string ClientLineTlv(const FakeClient& c);

// Payloads (the bytes after the marker byte). Lines end with CR LF.
std::string CountedLines(const std::vector<std::string>& lines);
std::string ClientListTagsPayload(const std::vector<FakeClient>& clients);  // 0x03
std::string ClientListTlvPayload(const std::vector<FakeClient>& clients);   // 0x83
std::string ClientCountPayload(int count);                                   // 0x82
std::string ClientDiffPayload(const std::vector<std::string>& changes);     // 0x84
std::string DiffStatus(int index, const FakeClient& c);
std::string DiffInsert(int index, const FakeClient& c);
std::string DiffReplace(int index, const FakeClient& c);
std::string DiffDelete(int index, int count);
std::string NetworksPayload(const std::vector<std::string>& names);          // 0x05
std::string NoticesPayload(const std::vector<std::string>& lines);           // 0x0B, 0x8A
std::string TextMessagePayload(const std::string& sender,
                               const std::vector<std::string>& lines,
                               bool is_private);                             // 0x04, 0x85

// Banned/muted, administrator and access list lines.
struct FakeAccount {
  std::string ai, name, country, city, band, id;
  int client_type = 2;
  bool utf8 = false;
};
std::string BlockMuteLineTags(const FakeAccount& a);  // 0x08, 0x09
std::string BlockMuteLineTlv(const FakeAccount& a);   // 0x86, 0x87
std::string AdminLineTags(const FakeAccount& a);      // 0x06
std::string AdminLineTlv(const FakeAccount& a);       // 0x88
std::string AccessLineTags(const FakeAccount& a);     // 0x07, ai "0" or "1"
std::string AccessLineTlv(const FakeAccount& a);      // 0x8B

// ---------------------------------------------------------------------------
// Voice

constexpr size_t kGsmBlock = 65;   // two GSM frames, WAV49 layout
constexpr size_t kPcmBlock = 320;  // samples of one GSM block (40 ms)

// The GSM silence block the client pads its last packet with.
std::string GsmSilenceBlock();

// One libgsm state in WAV49 mode. Halves alternate on one state, so a
// codec only ever codes whole 65-byte blocks.
class GsmCodec {
 public:
  GsmCodec();
  ~GsmCodec();
  GsmCodec(const GsmCodec&) = delete;
  GsmCodec& operator=(const GsmCodec&) = delete;

  // pcm.size() must be a multiple of 320; returns 65 bytes per block.
  std::string Encode(const std::vector<int16_t>& pcm);
  // Decodes whole blocks; a bad block gives 320 zero samples and counts.
  std::vector<int16_t> Decode(const std::string& gsm, int* bad_blocks = nullptr);

 private:
  void* state_;
};

// 'samples' samples of a sine tone, continuing at sample index 'start'.
std::vector<int16_t> Tone(double hz, int amplitude, size_t samples, size_t start = 0);

// 0x02 (five blocks) or 0x81 (one block) payload: talker index + 1, GSM.
std::string SoundPayload(unsigned talker, const std::string& gsm);

}  // namespace vektest

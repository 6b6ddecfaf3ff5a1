// A scriptable VEK server for tests: listens on 127.0.0.1 on a port the
// kernel picks, serves one client at a time on its own thread, runs a script
// of steps against it and records everything the client sends.
//
// It is written from the server's side on the standard library, POSIX
// sockets and libgsm only, so it checks the client instead of sharing its
// mistakes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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

// ---------------------------------------------------------------------------
// What the client sent

enum class ItemKind {
  Line,          // a command line, text without CR LF
  TxPacket,      // "TX1"/"TX8" packet: text is the header, gsm/pcm the voice
  Message,       // "TM:"/"TME:" text message, text holds it without its final CR LF
  Disconnected,  // the client closed (text: "eof" or the error)
  Partial,       // bytes left without an end when the link went down
};

struct ClientItem {
  uint32_t tick = 0;   // FakeTickMs() at arrival
  int connection = 0;  // 1 for the first client accepted
  ItemKind kind = ItemKind::Line;
  std::string text;
  std::string gsm;            // TX packet payload
  std::vector<int16_t> pcm;   // decoded on the connection's own decoder
  int bad_blocks = 0;
};

// One chunk the server wrote, for timing checks.
struct SentChunk {
  uint32_t tick = 0;
  int connection = 0;
  std::string bytes;
};

// ---------------------------------------------------------------------------
// Script

enum class Match { Exact, Prefix, Contains, Regex, Any };

// Second line of the handshake answer; unset tags are left out.
struct HandshakeReply {
  std::string line1 = "2014004";  // newest client version
  std::optional<std::string> sv = "2014000";
  std::optional<std::string> al = "OK";
  std::optional<std::string> mt = "Welcome";
  std::optional<std::string> sef, mtu, kp, nt, id, bn, bp;
  std::string extra;  // appended raw to line 2
  std::string Line2() const;
};

// How a send is cut into chunks: at the given offsets, or every n bytes;
// with a pause between chunks so the client sees them apart.
struct Split {
  std::vector<size_t> cuts;
  size_t every = 0;
  uint32_t delay_ms = 0;
  bool Active() const { return every > 0 || !cuts.empty(); }
};

enum class TxMode { Ignore, Approve };

struct Step;

class Script {
 public:
  Script();
  ~Script();
  Script(const Script&);
  Script& operator=(const Script&);
  Script(Script&&) noexcept;
  Script& operator=(Script&&) noexcept;

  // Reading: each expect takes the next item the client sent. Items that
  // fail the match end the connection and record a failure.
  Script& Expect(Match rule, std::string text = {}, uint32_t timeout_ms = 10000);
  Script& ExpectLine(std::string exact) { return Expect(Match::Exact, std::move(exact)); }
  Script& ExpectLogin() { return Expect(Match::Prefix, "CT:"); }
  // The reply to the KP of the last handshake. only_if_needed: expect it
  // only when the server version and the client's VX call for it.
  Script& ExpectChallengeReply(bool only_if_needed = false);
  // "ST:<status>" then "RX0", or "RX0" alone for status 0; -1 takes either.
  Script& ExpectRxState(int status = -1);
  Script& ExpectAck() { return ExpectLine("P"); }
  // A TX packet; with a header ("TX1" or "TX8") only that kind.
  Script& ExpectTx(std::string header = {}, uint32_t timeout_ms = 10000);
  Script& ExpectMessage(Match rule, std::string text = {});
  Script& ExpectClose(uint32_t timeout_ms = 10000);
  // Let expects pass over "P" lines (acknowledgements of background markers).
  Script& SkipAcks(bool on);

  // Writing.
  Script& Handshake(const HandshakeReply& reply);
  Script& Send(std::string bytes);
  Script& SendLine(std::string text) { return Send(std::move(text) + "\r\n"); }
  Script& Marker(uint8_t marker, std::string payload = {});
  Script& KeepAlive() { return Marker(0x00); }
  Script& Approve() { return Marker(0x01, Be16(0)); }
  Script& Networks(const std::vector<std::string>& names) { return Marker(0x05, NetworksPayload(names)); }
  // Cut the following sends as given (Split{} ends it).
  Script& SplitSends(Split split);
  // Voice from one talker, paced in real time (200 ms per 0x02 packet, 40 ms
  // per 0x81), encoded on the connection's encoder; background keep-alives
  // pause meanwhile. pcm is padded with silence to whole packets.
  Script& Talk(unsigned talker, std::vector<int16_t> pcm, bool short_frames = false);
  // The same packets back to back, unpaced (bursts, split tests).
  Script& Sound(unsigned talker, std::vector<int16_t> pcm, bool short_frames = false);

  // Time and link.
  Script& Sleep(uint32_t ms);       // keeps reading and serving the background
  Script& Stall(uint32_t ms);       // reads nothing, sends nothing
  Script& Close();
  // Background keep-alives every interval_ms (0 stops them); none while the
  // client holds the channel (from an approval to its RX0 or the take-away),
  // since a keep-alive would end its turn.
  Script& KeepAlives(uint32_t interval_ms, uint8_t marker = 0x00);
  // Answer every "TX0" with 0x01 after delay_ms, or ignore it; take_away_ms
  // > 0 ends an approved turn with a keep-alive after that long. A request
  // still unanswered when the step is reached counts as arriving then, so
  // the step's place against the client's first "TX0" does not matter.
  Script& TxPolicy(TxMode mode, uint32_t delay_ms = 0, uint32_t take_away_ms = 0);
  // When the steps run out, continue after this point until the link ends.
  Script& Loop();
  // Runs on the server thread; for checks or sends the steps cannot express.
  Script& Call(std::function<void()> fn);

  // The standard login: CT line, handshake, challenge if needed, RX state,
  // networks list and its acknowledgement.
  Script& Login(const HandshakeReply& reply = {}, std::vector<std::string> networks = {"Test"});

  // The text form, one step per line, '#' comments:
  //   expect exact|prefix|contains|regex|any [TEXT]   expect-login
  //   expect-challenge [if-needed]   expect-rx-state [N]   expect-ack
  //   expect-tx [TX1|TX8]   expect-message   expect-close   skip-acks on|off
  //   handshake [LINE1=v] [TAG=v ...] [-TAG ...]   login [same args]
  //   send TEXT (C escapes, no CR LF added)   send-line TEXT   send-hex HEX
  //   marker HEX [HEX payload]   keepalive   approve   networks NAME...
  //   clients tags|tlv ID:NAME[:CITY] ...   client-count N
  //   message SENDER public|private TEXT (\n parts lines)
  //   split EVERY [DELAY] | split off
  //   talk INDEX HZ MS [short]   sound INDEX HZ [short] (one packet)   sleep MS   stall MS   close
  //   keepalives MS|off   tx approve [DELAY [TAKEAWAY]] | tx ignore   loop
  // Throws std::runtime_error naming the line on errors.
  static Script Parse(const std::string& text);

  const std::vector<Step>& Steps() const { return *steps_; }
  size_t StepCount() const;
  std::optional<size_t> LoopStart() const { return loop_; }

 private:
  Script& Add(Step s);
  std::unique_ptr<std::vector<Step>> steps_;
  std::optional<size_t> loop_;
};

// ---------------------------------------------------------------------------
// The server

class FakeVekServer {
 public:
  // Connection i runs scripts[min(i, n-1)].
  explicit FakeVekServer(Script script);
  explicit FakeVekServer(std::vector<Script> scripts, uint16_t port = 0);
  ~FakeVekServer();
  FakeVekServer(const FakeVekServer&) = delete;
  FakeVekServer& operator=(const FakeVekServer&) = delete;

  uint16_t Port() const { return port_; }
  std::string Host() const { return "127.0.0.1"; }

  // Oldest items are dropped beyond this many (default 100000); also
  // bounds the items waiting for an expect in a connection accepted later.
  void SetRecordLimit(size_t n);
  // Called on the server thread for every item as it is recorded.
  void SetOnItem(std::function<void(const ClientItem&)> fn);

  std::vector<ClientItem> Items() const;
  std::vector<std::string> Lines() const;  // the Line items' texts in order
  std::vector<SentChunk> Sent() const;
  std::vector<std::string> Failures() const;
  int Connections() const;
  // Connections whose script ran to its end (or to a scripted close).
  int FinishedScripts() const;

  // Block until pred(items) holds or the time runs out; true if it held.
  bool WaitFor(const std::function<bool(const std::vector<ClientItem>&)>& pred,
               uint32_t timeout_ms = 10000) const;
  bool WaitForLine(const std::string& exact, uint32_t timeout_ms = 10000) const;
  bool WaitForScripts(int n, uint32_t timeout_ms = 10000) const;
  bool WaitForDisconnects(int n, uint32_t timeout_ms = 10000) const;

  void Stop();

 private:
  friend class Session;
  void Serve();
  void Record(ClientItem item);
  void RecordSent(int connection, const std::string& bytes);
  void Fail(std::string text);

  std::vector<Script> scripts_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::deque<ClientItem> items_;
  std::deque<SentChunk> sent_;
  std::vector<std::string> failures_;
  size_t limit_ = 100000;
  int connections_ = 0;
  int finished_ = 0;
  int disconnects_ = 0;
  std::function<void(const ClientItem&)> on_item_;
};

}  // namespace vektest

// What a client sends the fake VEK server, and the scripts the server runs
// against it, built in code or parsed from their text form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/fake_vek_wire.h"
#include "support/wait.h"

namespace vektest {

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
  Script& Expect(Match rule, std::string text = {}, uint32_t timeout_ms = kPeerWaitMs);
  Script& ExpectLine(std::string exact) { return Expect(Match::Exact, std::move(exact)); }
  Script& ExpectLogin() { return Expect(Match::Prefix, "CT:"); }
  // The reply to the KP of the last handshake. only_if_needed: expect it
  // only when the server version and the client's VX call for it.
  Script& ExpectChallengeReply(bool only_if_needed = false);
  // "ST:<status>" then "RX0", or "RX0" alone for status 0; -1 takes either.
  Script& ExpectRxState(int status = -1);
  Script& ExpectAck() { return ExpectLine("P"); }
  // A TX packet; with a header ("TX1" or "TX8") only that kind.
  Script& ExpectTx(std::string header = {}, uint32_t timeout_ms = kPeerWaitMs);
  Script& ExpectMessage(Match rule, std::string text = {});
  Script& ExpectClose(uint32_t timeout_ms = kPeerWaitMs);
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
  // Keeps reading and serving the background until released() holds (asked
  // on the server thread every few ms): a pause as long as the test needs
  // the link as it is, whatever the machine's speed. A failure when
  // timeout_ms passes first.
  Script& Hold(std::function<bool()> released, uint32_t timeout_ms = kPeerWaitMs);
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

// A login the server refuses: the handshake answers with `al` (WRONG,
// BLOCKED, ERROR ...), then the client goes.
Script RefusingLogin(const std::string& al);
// The standard login, then the link stays up until the test ends.
Script StayingLoggedIn(const HandshakeReply& reply = {});

}  // namespace vektest

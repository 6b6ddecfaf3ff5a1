// Pieces the fake VEK server's units share: the script's steps and the
// hex and number readers of the wire. Not for tests; they use
// fake_vek_server.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/fake_vek_script.h"

namespace vektest {

class FakeVekServer;

namespace fakevek {

std::string Hex2(unsigned v);
int HexDigit(char c);
// Decimal integer, optional sign, nothing else.
std::optional<long long> ParseInt(const std::string& s);
// Reads a hex length prefix at pos; returns false when it cannot be read.
bool ReadHexLen(const std::string& s, size_t& pos, size_t& len);

// Runs one script against one accepted client until the link ends.
void RunSession(FakeVekServer& server, int fd, int connection, const Script& script,
                const std::atomic<bool>& stop);

}  // namespace fakevek

enum class Op {
  Expect, ExpectChallenge, ExpectRxState, ExpectClose, SkipAcks, Handshake, Send, Split,
  Talk, Sleep, Stall, Hold, Close, KeepAlives, TxPolicy, Call
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
  std::function<bool()> released;
};

}  // namespace vektest

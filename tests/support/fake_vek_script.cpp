#include "support/fake_vek_script.h"

#include <sstream>
#include <stdexcept>

#include "support/fake_vek_internal.h"

namespace vektest {

using fakevek::HexDigit;
using fakevek::ParseInt;

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
  s.ms = kPeerWaitMs;
  return Add(std::move(s));
}

Script& Script::ExpectRxState(int status) {
  Step s{Op::ExpectRxState};
  s.num = status;
  s.ms = kPeerWaitMs;
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
  s.ms = kPeerWaitMs;
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

Script& Script::Hold(std::function<bool()> released, uint32_t timeout_ms) {
  Step s{Op::Hold};
  s.released = std::move(released);
  s.ms = timeout_ms;
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

Script RefusingLogin(const std::string& al) {
  HandshakeReply r;
  r.al = al;
  Script s;
  s.ExpectLogin().Handshake(r).ExpectClose();
  return s;
}

Script StayingLoggedIn(const HandshakeReply& reply) {
  Script s;
  s.Login(reply).Sleep(60000);
  return s;
}

}  // namespace vektest

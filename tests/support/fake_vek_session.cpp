#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>
#include <stdexcept>

#include "support/fake_vek_internal.h"
#include "support/fake_vek_server.h"

namespace vektest {

using fakevek::Hex2;
using fakevek::ParseInt;
using fakevek::ReadHexLen;

namespace {

constexpr size_t kMaxPending = 1 << 20;  // bytes of one unfinished client item

int32_t Until(uint32_t deadline) { return static_cast<int32_t>(deadline - FakeTickMs()); }

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
    pollfd fds[2] = {{read ? fd_ : -1, POLLIN, 0}, {srv_.listener_.WakeFd(), POLLIN, 0}};
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
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {srv_.listener_.WakeFd(), POLLIN, 0}};
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
      case Op::Hold: {
        constexpr uint32_t kAskEveryMs = 5;
        uint32_t deadline = FakeTickMs() + s.ms;
        while (open_ && !stop_ && !(s.released && s.released())) {
          if (Until(deadline) <= 0) return Fail(pc, "not released within " + std::to_string(s.ms) + " ms");
          Pump(std::min<uint32_t>(kAskEveryMs, static_cast<uint32_t>(Until(deadline))), true);
        }
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

namespace fakevek {

void RunSession(FakeVekServer& server, int fd, int connection, const Script& script,
                const std::atomic<bool>& stop) {
  Session(server, fd, connection, script, stop).Run();
}

}  // namespace fakevek

}  // namespace vektest

#include "station/ifc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/charset.h"
#include "foundation/exception.h"
#include "station/ifc_com.h"
#include "station/ifc_file.h"
#include "station/ifc_line.h"
#include "station/ifc_pool.h"
#include "station/ifc_vox.h"
#include "station/serial_port.h"
#include "support/test_files.h"

namespace {

std::string U8(const std::u16string& s) { return DaxUnicodeToUtf8(s); }
std::u16string U16(const std::string& s) { return DaxUtf8ToUnicode(s); }

// Modem lines in memory; every call can be made to fail.
class FakeSerialPort : public TDaxSerialPort {
 public:
  int Open(const std::string& path, int flags, int& fd) override {
    ++opens;
    last_path = path;
    last_flags = flags;
    if (open_error != 0) return open_error;
    fd = 7;
    is_open = true;
    return 0;
  }
  int GetModemBits(int fd, int& b) override {
    if (fd != 7 || !is_open) return EBADF;
    if (get_error != 0) return get_error;
    b = bits;
    return 0;
  }
  int SetModemBits(int fd, int b) override {
    if (fd != 7 || !is_open) return EBADF;
    if (set_error != 0) return set_error;
    bits = b;
    return 0;
  }
  void Close(int) override {
    ++closes;
    is_open = false;
  }

  int bits = 0;
  int opens = 0, closes = 0;
  int open_error = 0, get_error = 0, set_error = 0;
  bool is_open = false;
  std::string last_path;
  int last_flags = 0;
};

// A pool whose interfaces run on a stepped clock and the fake port, with
// the reports collected.
struct Station {
  Station() {
    pool.Seams.Clock = [this] { return now; };
    pool.Seams.SerialPort = &port;
  }
  std::unique_ptr<TVEKRadioIfcLine> Line(TVEKIfcSignalType signal, const std::string& spec) {
    std::u16string error;
    auto line = VekCreateRadioIfcLine(
        signal, U16(spec), pool, [this](const std::u16string& t) { infos.push_back(U8(t)); }, error,
        [this](const std::u16string& t) { errors.push_back(U8(t)); });
    last_error_text = U8(error);
    return line;
  }

  uint32_t now = 100000;
  FakeSerialPort port;
  TVEKRadioIfcPool pool;
  std::vector<std::string> infos, errors;
  std::string last_error_text;
};

using vektest::Exists;
using vektest::TempDir;

void Touch(const std::string& p) {
  int fd = ::open(p.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ::close(fd);
}

// ---------------------------------------------------------------------------

TEST(WireSpec, ParsesFieldsAndReportsErrors) {
  struct Case {
    const char* spec;
    const char* error;  // nullptr: accepted
    TVEKRadioIfcType type;
    const char* device;
    const char* wire;
    TVEKWireInvertedMode mode;
    const char* p5;
    const char* p6;
  };
  const Case cases[] = {
      {"COM", "Invalid radio interface configuration: \"COM\"", rit_UNKNOWN, "", "", wim_NORMAL, "",
       ""},
      {"", "Invalid radio interface configuration: \"\"", rit_UNKNOWN, "", "", wim_NORMAL, "", ""},
      {"com:/dev/ttyS0", nullptr, rit_COM, "/dev/ttyS0", "", wim_NORMAL, "", ""},
      {"\tfile : /tmp/a b : FILE :inv: x : y", nullptr, rit_FILE, "/tmp/a b", "FILE", wim_INVERTED,
       " x ", " y"},
      {"VOX:500::2", nullptr, rit_VOX, "500", "", wim_INVERTED, "", ""},
      {"COM:/dev/x:RTS:0", nullptr, rit_COM, "/dev/x", "RTS", wim_NORMAL, "", ""},
      {"COM:/dev/x:RTS:Normal", nullptr, rit_COM, "/dev/x", "RTS", wim_NORMAL, "", ""},
      {"COM:/dev/x:RTS:X", "Invalid wire mode: \"X\"", rit_UNKNOWN, "", "", wim_NORMAL, "", ""},
      {"LPT:/dev/lp0", "Invalid radio interface type: \"LPT\"", rit_UNKNOWN, "", "", wim_NORMAL, "",
       ""},
      {"UNKNOWN:x", "Invalid radio interface type: \"UNKNOWN\"", rit_UNKNOWN, "", "", wim_NORMAL,
       "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    TVEKRadioIfcType type = rit_UNKNOWN;
    std::u16string device, wire, p5, p6;
    TVEKWireInvertedMode mode = wim_NORMAL;
    if (c.error) {
      try {
        VekParseWireSpec(U16(c.spec), type, device, wire, mode, p5, p6);
        ADD_FAILURE() << "accepted";
      } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), c.error);
      }
      continue;
    }
    VekParseWireSpec(U16(c.spec), type, device, wire, mode, p5, p6);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(U8(device), c.device);
    EXPECT_EQ(U8(wire), c.wire);
    EXPECT_EQ(mode, c.mode);
    EXPECT_EQ(U8(p5), c.p5);
    EXPECT_EQ(U8(p6), c.p6);
  }
}

TEST(RadioIfc, WireErrorTextsAndFactory) {
  const std::map<int, std::string> texts = {{0, "ok"},
                                            {1, "not implemented"},
                                            {2, "wire not found on device"},
                                            {3, "wire already used"},
                                            {4, "invalid access to wire"}};
  for (const auto& [code, text] : texts) EXPECT_EQ(U8(TVEKRadioIfc::WireErrorText(code)), text);
  EXPECT_THROW(TVEKRadioIfc::WireErrorText(5), Exception);

  EXPECT_EQ(VekCreateRadioIfc(rit_UNKNOWN, u"x", u"x"), nullptr);
  EXPECT_EQ(VekCreateRadioIfc(rit_FILE, u"/tmp/f", u"/tmp/f")->Type(), rit_FILE);
  try {
    VekCreateRadioIfc(static_cast<TVEKRadioIfcType>(9), u"x", u"x");
    ADD_FAILURE() << "created";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Radio interface type \"\" is not implemented");
  }
}

// ---------------------------------------------------------------------------
// Reopen rule and remembered values, on the fake serial port.

TEST(RadioIfc, FailedOpenIsRetriedStrictlyAfter2999Ms) {
  Station s;
  s.port.open_error = ENOENT;
  auto ptt = s.Line(ist_PTT, "COM:/dev/fake0:RTS");
  ASSERT_NE(ptt, nullptr);
  TVEKRadioIfc* ifc = ptt->Ifc();
  EXPECT_EQ(ifc->State(), ris_Closed);
  EXPECT_EQ(s.port.opens, 0);  // nothing opens at creation

  // The value is remembered while the port is missing.
  EXPECT_EQ(ptt->SetValue(true, s.now), 0);
  EXPECT_TRUE(ptt->Value());
  EXPECT_EQ(s.port.opens, 1);
  EXPECT_EQ(s.port.last_path, "/dev/fake0");
  EXPECT_EQ(s.port.last_flags, O_RDWR | O_NONBLOCK | O_NOCTTY);
  EXPECT_EQ(ifc->State(), ris_Failed);
  ASSERT_EQ(s.errors.size(), 1u);
  EXPECT_EQ(s.errors[0],
            "OPEN DEVICE: /dev/fake0: Serial port error [2]: No such file or directory");
  EXPECT_EQ(ptt->TryOpenIfc(s.now + 1), ENOENT);

  const uint32_t failed_at = s.now;
  EXPECT_FALSE(ifc->IsReady(failed_at + 2999));
  ifc->CheckDevice(failed_at + 2999);
  EXPECT_EQ(s.port.opens, 1);

  // The port comes back: the reopen puts the remembered value on the wire.
  s.port.open_error = 0;
  std::vector<std::pair<int, int>> changes;
  ptt->OnChange = [&](uint8_t kind, uint8_t value) { changes.emplace_back(kind, value); };
  ifc->CheckDevice(failed_at + 3000);
  EXPECT_EQ(s.port.opens, 2);
  EXPECT_TRUE(ifc->IsOpened());
  EXPECT_EQ(s.port.bits, kDaxModemRTS);
  EXPECT_EQ(changes, (std::vector<std::pair<int, int>>{{ist_PTT, 1}}));
  EXPECT_EQ(s.infos, std::vector<std::string>{"Device is successfully reopened: /dev/fake0"});
}

TEST(RadioIfc, ReopenIntervalWrapsAround) {
  Station s;
  s.port.open_error = EIO;
  auto ptt = s.Line(ist_PTT, "COM:/dev/fake0:DTR");
  TVEKRadioIfc* ifc = ptt->Ifc();
  ifc->OpenDevice(0xFFFFFF00u);
  ASSERT_EQ(ifc->State(), ris_Failed);
  s.port.open_error = 0;
  EXPECT_FALSE(ifc->IsReady(0xFFFFFF00u + 2999u));  // 2743 after the wrap
  EXPECT_EQ(s.port.opens, 1);
  EXPECT_TRUE(ifc->IsReady(0xFFFFFF00u + 3000u));
  EXPECT_EQ(s.port.opens, 2);
}

TEST(ComIfc, LinesDriveModemBitsThroughOneSharedInterface) {
  Station s;
  auto ptt = s.Line(ist_PTT, "COM:/dev/fake0:rts");
  auto light = s.Line(ist_LIGHT, "COM:/dev/fake0:LE:inverted");
  auto cos = s.Line(ist_COS, "COM:/dev/fake0:DCD");
  auto cos2 = s.Line(ist_COS, "COM:/dev/fake0:DSR:1");
  ASSERT_TRUE(ptt && light && cos && cos2) << s.last_error_text;
  EXPECT_EQ(s.pool.Count(), 1);
  EXPECT_EQ(ptt->Ifc(), cos->Ifc());
  EXPECT_EQ(U8(ptt->GetWireName()), "RTS");
  EXPECT_TRUE(light->IsInverted());

  EXPECT_EQ(ptt->SetValue(true, s.now), 0);
  EXPECT_EQ(s.port.opens, 1);
  EXPECT_EQ(s.port.bits, kDaxModemRTS);
  EXPECT_EQ(light->SetValue(false, s.now), 0);  // inverted: false sets the bit
  EXPECT_EQ(s.port.bits, kDaxModemRTS | kDaxModemLE);
  EXPECT_EQ(ptt->SetValue(false, s.now), 0);
  EXPECT_EQ(s.port.bits, kDaxModemLE);

  // DCD and DSR are different bits; DSR reads inverted.
  bool v1 = false, v2 = false;
  s.port.bits = kDaxModemCD;
  EXPECT_EQ(cos->GetValue(0, v1, s.now), 0);
  EXPECT_EQ(cos2->GetValue(0, v2, s.now), 0);
  EXPECT_TRUE(v1);
  EXPECT_TRUE(v2);
  s.port.bits = kDaxModemDSR;
  cos->GetValue(0, v1, s.now);
  cos2->GetValue(0, v2, s.now);
  EXPECT_FALSE(v1);
  EXPECT_FALSE(v2);
  EXPECT_TRUE(s.errors.empty());

  // Another device gets its own interface.
  auto other = s.Line(ist_STATIC, "COM:/dev/fake1:DTR");
  EXPECT_EQ(s.pool.Count(), 2);
  EXPECT_NE(other->Ifc(), ptt->Ifc());

  // Detaching all but one keeps the port open; the last one closes it.
  TVEKRadioIfc* ifc = ptt->Ifc();
  ptt.reset();
  light.reset();
  cos.reset();
  EXPECT_TRUE(ifc->IsOpened());
  EXPECT_EQ(s.port.closes, 0);
  cos2.reset();
  EXPECT_EQ(ifc->State(), ris_Closed);
  EXPECT_EQ(s.port.closes, 1);
}

TEST(ComIfc, WireAllocationErrors) {
  struct Case {
    TVEKIfcSignalType signal;
    const char* first;  // allocated before, on the same fresh device
    const char* spec;
    const char* error;  // empty: accepted
  };
  const Case cases[] = {
      {ist_PTT, nullptr, "COM:/dev/f:rts", ""},
      {ist_COS, nullptr, "COM:/dev/f:RTS",
       "READ: wire \"COM:/dev/f:RTS:NORMAL\": invalid access to wire"},
      {ist_PTT, nullptr, "COM:/dev/f:CTS:1",
       "WRITE: wire \"COM:/dev/f:CTS:INVERTED\": invalid access to wire"},
      {ist_PTT, "COM:/dev/f:RTS", "COM:/dev/f:rts",
       "WRITE: wire \"COM:/dev/f:rts:NORMAL\": wire already used"},
      {ist_PTT, nullptr, "COM:/dev/f:TXD",
       "WRITE: wire \"COM:/dev/f:TXD:NORMAL\": wire not found on device"},
      {ist_PTT, nullptr, "COM:/dev/f",
       "WRITE: wire \"COM:/dev/f::NORMAL\": wire not found on device"},
      {ist_COS, nullptr, "VOX:100:ANY", ""},
      {ist_COS, "VOX:100", "VOX:100", ""},
      {ist_PTT, nullptr, "VOX:100", "WRITE: wire \"VOX:100::NORMAL\": invalid access to wire"},
      {ist_PTT, "FILE:/tmp/vek_never", "FILE:/tmp/vek_never:X",
       "WRITE: wire \"FILE:/tmp/vek_never:X:NORMAL\": wire already used"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    Station s;
    std::unique_ptr<TVEKRadioIfcLine> first;
    if (c.first) {
      first = s.Line(ist_COS, c.first);
      if (!first) first = s.Line(ist_PTT, c.first);
      ASSERT_NE(first, nullptr);
    }
    auto line = s.Line(c.signal, c.spec);
    EXPECT_EQ(line != nullptr, *c.error == 0);
    EXPECT_EQ(s.last_error_text, c.error);
    EXPECT_EQ(s.pool.Count(), 1);
  }
}

TEST(ComIfc, WireFailureMarksFailedAndRecovers) {
  Station s;
  auto ptt = s.Line(ist_PTT, "COM:/dev/fake0:RTS");
  auto cos = s.Line(ist_COS, "COM:/dev/fake0:CTS");
  TVEKRadioIfc* ifc = ptt->Ifc();
  ASSERT_EQ(ptt->SetValue(true, s.now), 0);

  s.port.set_error = EIO;
  EXPECT_EQ(ptt->SetValue(false, s.now), EIO);
  EXPECT_EQ(ifc->State(), ris_Failed);
  EXPECT_FALSE(s.port.is_open);
  ASSERT_EQ(s.errors.size(), 1u);
  EXPECT_EQ(s.errors[0], "Setting value for wire RTS: Serial port error [5]: Input/output error");
  // Down, not ready: a reason is given, and COS reads off.
  EXPECT_EQ(ptt->TryOpenIfc(s.now + 10), EIO);
  // The engine's own reapply on a device that is down claims nothing.
  int changes = 0;
  ptt->OnChange = [&](uint8_t, uint8_t) { ++changes; };
  ptt->Reapply();
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(s.errors.size(), 1u);
  bool v = true;
  EXPECT_EQ(cos->GetValue(0, v, s.now + 10), 0);
  EXPECT_FALSE(v);

  s.port.set_error = 0;
  s.port.bits = kDaxModemRTS;
  EXPECT_EQ(ptt->TryOpenIfc(s.now + 3000), 0);
  EXPECT_EQ(s.port.bits, 0);  // the remembered false went back on the wire
  EXPECT_EQ(changes, 1);

  s.port.get_error = EIO;
  EXPECT_EQ(cos->GetValue(0, v, s.now + 3000), EIO);
  EXPECT_EQ(s.errors.back(),
            "Getting value for wire CTS: Serial port error [5]: Input/output error");
  EXPECT_EQ(ifc->State(), ris_Failed);
}

TEST(ComIfc, AReapplyThatFailsClaimsNothingAndCountsAsAnAttempt) {
  Station s;
  auto ptt = s.Line(ist_PTT, "COM:/dev/fake0:RTS");
  int changes = 0;
  ptt->OnChange = [&](uint8_t, uint8_t) { ++changes; };
  s.port.open_error = ENOENT;
  EXPECT_EQ(ptt->SetValue(true, s.now), 0);  // remembered while the port is missing
  s.port.open_error = 0;
  s.port.set_error = EIO;
  // The port opens again but the remembered value cannot be put back (late
  // enough for the failure to be reported again).
  const uint32_t retry = s.now + kVekIfcReportFirstMs;
  EXPECT_EQ(ptt->TryOpenIfc(retry), EIO);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(ptt->Ifc()->State(), ris_Failed);
  EXPECT_EQ(s.errors.back(), "Setting value for wire RTS: Serial port error [5]: Input/output error");
  EXPECT_TRUE(s.infos.empty());
  s.port.set_error = 0;
  EXPECT_EQ(ptt->TryOpenIfc(retry + 2999), EIO);
  EXPECT_EQ(ptt->TryOpenIfc(retry + 3000), 0);
  EXPECT_EQ(s.port.bits, kDaxModemRTS);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(s.infos, std::vector<std::string>{"Device is successfully reopened: /dev/fake0"});
}

TEST(ComIfc, PseudoTerminalHasNoModemLines) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);

  uint32_t now = 5000;
  TVEKRadioIfcSeams seams;
  seams.Clock = [&] { return now; };
  TVEKRadioIfcCom com(U16(slave), U16(slave), seams);
  std::vector<std::string> errors, infos;
  com.OnError = [&](const std::u16string& t) { errors.push_back(U8(t)); };
  com.OnInfo = [&](const std::u16string& t) { infos.push_back(U8(t)); };
  int index = -1;
  ASSERT_EQ(com.AllocateWire(false, u"CTS", wim_NORMAL, u"", u"", index), 0);

  EXPECT_TRUE(com.IsReady(now));  // open and the raw terminal set-up work
  EXPECT_GE(com.Descriptor(), 0);
  com.CheckDevice(now);
  EXPECT_EQ(com.State(), ris_Failed);
  EXPECT_EQ(com.Descriptor(), -1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Serial port error [25]: Inappropriate ioctl for device");

  // The port opens again, but its test access fails as before: no reopen
  // is claimed, and the repeated failure waits for its spaced report.
  com.CheckDevice(now + 3000);
  EXPECT_EQ(com.State(), ris_Failed);
  EXPECT_EQ(com.Descriptor(), -1);
  EXPECT_TRUE(infos.empty());
  EXPECT_EQ(errors.size(), 1u);
  com.CloseDevice();
  ::close(master);

  // Without an error handler the failure raises.
  TVEKRadioIfcCom missing(u"/nonexistent/vek-tty", u"/nonexistent/vek-tty", seams);
  try {
    missing.OpenDevice(now);
    ADD_FAILURE() << "opened";
  } catch (const Exception& e) {
    EXPECT_EQ(
        e.Message(),
        "OPEN DEVICE: /nonexistent/vek-tty: Serial port error [2]: No such file or directory");
  }
  EXPECT_EQ(missing.State(), ris_Failed);
}

// ---------------------------------------------------------------------------
// A device that stays broken for long: few reports, no false reopen.

// A real serial device path (a symlink to a pseudo terminal, which opens
// and takes the raw set-up) with modem lines in memory, as a pseudo
// terminal has none; unplugging the adapter makes every modem call fail.
class PtyModemPort : public TDaxSerialPort {
 public:
  int Open(const std::string& path, int flags, int& fd) override { return DaxSerialOpen(path, flags, fd); }
  int GetModemBits(int, int& b) override {
    b = bits;
    return unplugged ? EIO : 0;
  }
  int SetModemBits(int, int b) override {
    if (unplugged) return EIO;
    bits = b;
    return 0;
  }
  void Close(int fd) override { DaxSerialClose(fd); }

  int bits = 0;
  bool unplugged = false;
};

// The engine's upkeep of a PTT line for `ms`: the device check on every
// 130-ms pass, the reapply of the value on each tick.
void RunLineUpkeep(Station& s, TVEKRadioIfcLine& ptt, uint32_t ms) {
  for (const uint32_t end = s.now + ms; s.now < end; s.now += 130) {
    ptt.Ifc()->CheckDevice(s.now);
    ptt.Reapply(s.now);
  }
}

TEST(RadioIfc, ALastingFailureIsReportedAFewTimesAndTheRecoveryOnce) {
  TempDir top;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string pty = ptsname(master);
  const std::string port_link = top / "ttyUSB0";
  const std::string dir = top / "sig";
  PtyModemPort modem;
  struct Case {
    const char* name;
    std::string spec;
    std::function<void()> break_it, mend_it;
    std::function<bool()> value_is_on;
  } cases[] = {
      {"serial adapter unplugged", "COM:" + port_link + ":RTS",
       [&] {
         ASSERT_EQ(::unlink(port_link.c_str()), 0);
         modem.unplugged = true;
       },
       [&] {
         ASSERT_EQ(::symlink(pty.c_str(), port_link.c_str()), 0);
         modem.unplugged = false;
         modem.bits = 0;
       },
       [&] { return modem.bits == kDaxModemRTS; }},
      {"signal folder became a file", "FILE:" + dir + "/ptt",
       [&] {
         ASSERT_EQ(::unlink((dir + "/ptt").c_str()), 0);
         ASSERT_EQ(::rmdir(dir.c_str()), 0);
         Touch(dir);
       },
       [&] {
         ASSERT_EQ(::unlink(dir.c_str()), 0);
         ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
       },
       [&] { return Exists(dir + "/ptt"); }},
  };
  ASSERT_EQ(::symlink(pty.c_str(), port_link.c_str()), 0);
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Station s;
    s.pool.Seams.SerialPort = &modem;
    auto ptt = s.Line(ist_PTT, c.spec);
    ASSERT_NE(ptt, nullptr);
    std::vector<int> changes;
    ptt->OnChange = [&](uint8_t, uint8_t value) { changes.push_back(value); };
    ASSERT_EQ(ptt->SetValue(true, s.now), 0);
    ASSERT_TRUE(c.value_is_on());

    c.break_it();
    RunLineUpkeep(s, *ptt, 40000);
    EXPECT_GE(s.errors.size(), 1u);
    EXPECT_LE(s.errors.size(), 5u) << ::testing::PrintToString(s.errors);
    EXPECT_TRUE(s.infos.empty()) << ::testing::PrintToString(s.infos);
    EXPECT_TRUE(changes.empty());
    // The later reports count the attempts held back since the one before.
    if (s.errors.size() > 1) {
      EXPECT_NE(s.errors.back().find(" more since the last report)"), std::string::npos);
    }

    c.mend_it();
    RunLineUpkeep(s, *ptt, kVekIfcReopenIntervalMs + 130);
    EXPECT_TRUE(ptt->IsIfcOpen());
    EXPECT_TRUE(c.value_is_on());
    EXPECT_FALSE(changes.empty());  // the reopen, then each tick's reapply
    EXPECT_EQ(s.infos, std::vector<std::string>{"Device is successfully reopened: " + U8(ptt->Ifc()->Device())});
  }
  ::close(master);
}

// ---------------------------------------------------------------------------

TEST(VoxIfc, ThresholdAndDisabledDevice) {
  Station s;
  auto cos = s.Line(ist_COS, "VOX:500");
  ASSERT_NE(cos, nullptr);
  bool v = false;
  EXPECT_EQ(cos->GetValue(500, v, s.now), 0);
  EXPECT_TRUE(v);
  EXPECT_EQ(cos->GetValue(499, v, s.now), 0);
  EXPECT_FALSE(v);
  EXPECT_EQ(cos->Ifc()->WriteWire(0, true), 5);
  EXPECT_EQ(U8(cos->Ifc()->ErrorText(5)), "Input/output error");

  for (const char* spec : {"VOX:-1", "VOX:loud"}) {
    SCOPED_TRACE(spec);
    Station d;
    auto line = d.Line(ist_COS, spec);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->GetValue(32767, v, d.now), 0);
    EXPECT_FALSE(v);
    EXPECT_FALSE(line->IsIfcOpen());
    ASSERT_EQ(d.errors.size(), 1u);
    EXPECT_EQ(d.errors[0],
              std::string("OPEN DEVICE: ") + (spec + 4) + ": No such file or directory");
  }
}

// ---------------------------------------------------------------------------
// Signal files, for real.

TEST(FileIfc, NormalAndInvertedWires) {
  TempDir dir;
  Station s;
  auto ptt = s.Line(ist_PTT, "FILE:" + dir / "ptt");
  auto light = s.Line(ist_LIGHT, "FILE:" + dir / "light::INV");
  auto cos = s.Line(ist_COS, "FILE:" + dir / "cos");
  auto cosi = s.Line(ist_COS, "FILE:" + dir / "cosi::I");
  ASSERT_TRUE(ptt && light && cos && cosi) << s.last_error_text;
  EXPECT_EQ(s.pool.Count(), 4);
  EXPECT_EQ(U8(ptt->GetWireName()), dir / "ptt");

  EXPECT_EQ(ptt->SetValue(true, s.now), 0);
  EXPECT_TRUE(Exists(dir / "ptt"));
  EXPECT_EQ(ptt->SetValue(false, s.now), 0);
  EXPECT_FALSE(Exists(dir / "ptt"));
  EXPECT_EQ(ptt->SetValue(false, s.now), 0);  // deleting a missing file is fine

  // Inverted write wire: open creates, true deletes, false creates, close deletes.
  EXPECT_EQ(light->TryOpenIfc(s.now), 0);
  EXPECT_TRUE(Exists(dir / "light"));
  light->SetValue(true, s.now);
  EXPECT_FALSE(Exists(dir / "light"));
  light->SetValue(false, s.now);
  EXPECT_TRUE(Exists(dir / "light"));
  light->CloseIfc();
  EXPECT_FALSE(Exists(dir / "light"));

  bool v = true, vi = false;
  EXPECT_EQ(cos->GetValue(0, v, s.now), 0);
  EXPECT_EQ(cosi->GetValue(0, vi, s.now), 0);
  EXPECT_FALSE(v);
  EXPECT_TRUE(vi);
  Touch(dir / "cos");
  Touch(dir / "cosi");
  cos->GetValue(0, v, s.now);
  cosi->GetValue(0, vi, s.now);
  EXPECT_TRUE(v);
  EXPECT_FALSE(vi);
  // A read wire's file belongs to the other program: closing leaves it.
  cos.reset();
  EXPECT_TRUE(Exists(dir / "cos"));
  // A write wire's file goes with its last line.
  ptt->SetValue(true, s.now);
  ptt.reset();
  EXPECT_FALSE(Exists(dir / "ptt"));
  EXPECT_TRUE(s.errors.empty());
}

TEST(FileIfc, ReopensAfterTheDirectoryReturns) {
  TempDir top;
  const std::string dir = top / "sig";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  const std::string file = dir + "/ptt";
  Station s;
  auto ptt = s.Line(ist_PTT, "FILE:" + file);
  auto cos = s.Line(ist_COS, "FILE:" + dir + "/cos");
  std::vector<std::pair<int, int>> changes;
  ptt->OnChange = [&](uint8_t kind, uint8_t value) { changes.emplace_back(kind, value); };
  ASSERT_EQ(ptt->SetValue(false, s.now), 0);

  ASSERT_EQ(::rmdir(dir.c_str()), 0);
  // A read wire takes a missing directory as an absent signal.
  bool v = true;
  EXPECT_EQ(cos->GetValue(0, v, s.now), 0);
  EXPECT_FALSE(v);

  EXPECT_EQ(ptt->SetValue(true, s.now), -1);
  EXPECT_EQ(ptt->Ifc()->State(), ris_Failed);
  ASSERT_EQ(s.errors.size(), 1u);
  EXPECT_EQ(s.errors[0], "Setting value for wire " + file + ": error [2] of creating file \"" +
                             file + "\": No such file or directory");
  EXPECT_TRUE(ptt->Value());

  // Due for a reopen but the directory is still gone: the reapplied write
  // fails, the interface stays failed and nothing claims the value is back.
  ptt->Ifc()->CheckDevice(s.now + 3000);
  EXPECT_EQ(ptt->Ifc()->State(), ris_Failed);
  EXPECT_TRUE(changes.empty());
  EXPECT_TRUE(s.infos.empty());
  EXPECT_EQ(s.errors.size(), 1u);  // the repeat waits for its spaced report

  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  ptt->Ifc()->CheckDevice(s.now + 5999);
  EXPECT_FALSE(::access(file.c_str(), F_OK) == 0);
  ptt->Ifc()->CheckDevice(s.now + 6000);
  EXPECT_TRUE(ptt->IsIfcOpen());
  EXPECT_EQ(::access(file.c_str(), F_OK), 0);
  EXPECT_EQ(changes, (std::vector<std::pair<int, int>>{{ist_PTT, 1}}));
  EXPECT_EQ(s.infos, std::vector<std::string>{"Device is successfully reopened: " + file});
}

TEST(Pool, KeysAreCaseSensitiveAndFreeingUnbindsLines) {
  TempDir dir;
  Station s;
  auto a = s.Line(ist_PTT, "FILE:" + dir / "Sig");
  auto b = s.Line(ist_LIGHT, "file:" + dir / "sig");
  ASSERT_TRUE(a && b) << s.last_error_text;
  EXPECT_NE(a->Ifc(), b->Ifc());
  EXPECT_EQ(s.pool.Find(rit_FILE, U16(dir / "Sig")), a->Ifc());
  EXPECT_EQ(s.pool.Find(rit_COM, U16(dir / "Sig")), nullptr);

  s.pool.FreeAll();
  EXPECT_EQ(s.pool.Count(), 0);
  EXPECT_FALSE(a->HasIfc());
  EXPECT_EQ(a->SetValue(true, s.now), 0);
  EXPECT_FALSE(Exists(dir / "Sig"));
  EXPECT_EQ(a->GetIfcType(), rit_UNKNOWN);

  TVEKRadioIfcLine bare(ist_COS, nullptr, 0);
  bool v = true;
  EXPECT_EQ(bare.GetValue(100, v, s.now), 0);
  EXPECT_FALSE(v);
  EXPECT_EQ(bare.TryOpenIfc(s.now), 0);
}

}  // namespace

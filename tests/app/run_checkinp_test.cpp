// The input check's spec and its reading of a serial port's modem lines
// through the serial-port seam.
#include "app/run_checkinp.h"

#include <gtest/gtest.h>

#include "station/serial_port.h"
#include "support/thrown.h"

namespace {

class FakeModemPort : public TDaxSerialPort {
 public:
  int Open(const std::string& path, int, int& fd) override {
    opened_path = path;
    if (open_error != 0) return open_error;
    fd = 7;
    return 0;
  }
  int GetModemBits(int, int& b) override {
    b = bits;
    return 0;
  }
  int SetModemBits(int, int) override { return 0; }
  void Close(int) override {}

  std::string opened_path;
  int open_error = 0;
  int bits = 0;
};

TVEKRadioIfcSeams SeamsOf(FakeModemPort& port) {
  TVEKRadioIfcSeams seams;
  seams.SerialPort = &port;
  seams.Clock = [] { return 1000u; };
  return seams;
}

TEST(RunCheckInput, BadSpecsRaiseTheirOwnTexts) {
  const struct {
    const char16_t* spec;
    const char* text;
  } cases[] = {
      {u"COM", "invalid command format: COM"},
      {u"checkinput", "invalid command format: checkinput"},
      {u":x", "invalid command format: :x"},
      {u"FOO:x", "unknown interface type: FOO"},
      {u"COM:/dev/ttyS0:CTS:SIDEWAYS", "invalid wire mode: SIDEWAYS"},
      {u"COM:/dev/ttyS0:NOPE", "wire not found on device: NOPE"},
      {u"COM:/dev/ttyS0:RTS", "invalid access to wire: RTS"},
  };
  FakeModemPort port;
  for (const auto& c : cases) {
    try {
      TVEKRunCheckInput check(c.spec, SeamsOf(port));
      ADD_FAILURE() << c.text;
    } catch (const EVEKRunError& e) {
      EXPECT_EQ(std::string(e.what()), c.text);
    }
  }
}

TEST(RunCheckInput, ReadsTheActiveModemLinesInListOrder) {
  FakeModemPort port;
  TVEKRunCheckInput all(u" COM : /dev/ttyS0 ", SeamsOf(port));
  EXPECT_THROW(all.GetActiveInputs(0), EVEKRunError);  // "Device not opened"
  all.Poll(1000);
  EXPECT_EQ(port.opened_path, "/dev/ttyS0");
  port.bits = kDaxModemCD | kDaxModemCTS;
  EXPECT_EQ(all.GetActiveInputs(0), u"CTS DCD");
  port.bits = 0;
  EXPECT_EQ(all.GetActiveInputs(0), u"");

  TVEKRunCheckInput one(u"COM:/dev/ttyS1:CTS", SeamsOf(port));
  one.Poll(1000);
  port.bits = kDaxModemCD | kDaxModemCTS;
  EXPECT_EQ(one.GetActiveInputs(0), u"CTS");
  port.bits = kDaxModemCD;
  EXPECT_EQ(one.GetActiveInputs(0), u"");

  TVEKRunCheckInput inverted(u"COM:/dev/ttyS1:CTS:INVERTED", SeamsOf(port));
  inverted.Poll(1000);
  EXPECT_EQ(inverted.GetActiveInputs(0), u"CTS");
}

TEST(RunCheckInput, VoxFollowsTheLevel) {
  TVEKRunCheckInput vox(u"VOX:250");
  vox.Poll(0);
  EXPECT_EQ(vox.GetActiveInputs(100), u"");
  EXPECT_NE(vox.GetActiveInputs(20000), u"");
}

TEST(RunCheckInput, AFailingOpenIsAnErrorNotASilentState) {
  FakeModemPort port;
  port.open_error = 2;  // ENOENT
  TVEKRunCheckInput check(u"COM:/dev/ttyS9", SeamsOf(port));
  const std::string message = vektest::ThrownMessage([&] { check.Poll(1000); });
  EXPECT_EQ(message.rfind("OPEN DEVICE: /dev/ttyS9: ", 0), 0u) << message;
}

}  // namespace

// A serial port whose modem-control lines are the wires: six inputs for COS
// and three outputs for PTT and indicators.
#pragma once

#include "station/ifc.h"

class TDaxSerialPort;

struct TVEKIfcWireCmdRec {
  const char16_t* Name;
  int Bit;  // the modem-control bit (TIOCM_*)
  bool CanRead;
  bool CanWrite;
};

inline constexpr int kVekComWireCount = 9;
// In wire-index order: ST SR CTS DCD RING DSR (inputs), LE DTR RTS (outputs).
extern const TVEKIfcWireCmdRec kVekComWires[kVekComWireCount];

class TVEKRadioIfcCom : public TVEKRadioIfc {
 public:
  // `name` is the port's path.
  TVEKRadioIfcCom(const std::u16string& name, const std::u16string& device,
                  const TVEKRadioIfcSeams& seams = {});
  ~TVEKRadioIfcCom() override;

  int Open() override;
  void Close() override;
  int Check() override;
  TVEKIfcWires GetWires() override;
  TVEKIfcWires GetTypeWires() override;
  // 0: empty; else "Serial port error [<code>]: <system text>".
  std::u16string ErrorText(int code) override;
  int WriteWire(int index, bool value) override;
  int ReadWire(int index, int32_t level, bool& value) override;
  bool IsWireInverted(int index) override;
  bool IsWireWritable(int index) override;
  TVEKWireName WireName(int index) override;
  int AllocateWire(bool write, const TVEKWireName& name, TVEKWireInvertedMode mode,
                   const std::u16string& p5, const std::u16string& p6, int& index) override;

  int Descriptor() const { return fd_; }

 private:
  static bool ValidIndex(int index) { return index >= 0 && index < kVekComWireCount; }

  TDaxSerialPort* port_;
  int fd_ = -1;
  bool inverted_[kVekComWireCount] = {};
  bool allocated_[kVekComWireCount] = {};
};

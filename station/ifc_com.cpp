#include "station/ifc_com.h"

#include <fcntl.h>

#include <cerrno>

#include "foundation/charset.h"
#include "foundation/types.h"
#include "station/serial_port.h"

const TVEKIfcWireCmdRec kVekComWires[kVekComWireCount] = {
    {u"ST", kDaxModemST, true, false},   {u"SR", kDaxModemSR, true, false},
    {u"CTS", kDaxModemCTS, true, false}, {u"DCD", kDaxModemCD, true, false},
    {u"RING", kDaxModemRI, true, false}, {u"DSR", kDaxModemDSR, true, false},
    {u"LE", kDaxModemLE, false, true},   {u"DTR", kDaxModemDTR, false, true},
    {u"RTS", kDaxModemRTS, false, true},
};

namespace {
constexpr int kCheckWire = 2;  // CTS
}

TVEKRadioIfcCom::TVEKRadioIfcCom(const std::u16string& name, const std::u16string& device,
                                 const TVEKRadioIfcSeams& seams)
    : TVEKRadioIfc(rit_COM, name, device, seams),
      port_(seams.SerialPort ? seams.SerialPort : &DaxSystemSerialPort()) {}

TVEKRadioIfcCom::~TVEKRadioIfcCom() { CloseOnDestroy(); }

int TVEKRadioIfcCom::Open() {
  if (fd_ >= 0) Close();
  int fd = -1;
  const int code = port_->Open(DaxHookUnicodeToSys(Name()), O_RDWR | O_NONBLOCK | O_NOCTTY, fd);
  if (code != 0) return code;
  fd_ = fd;
  return 0;
}

void TVEKRadioIfcCom::Close() {
  if (fd_ >= 0) port_->Close(fd_);
  fd_ = -1;
}

int TVEKRadioIfcCom::Check() {
  bool value = false;
  return ReadWire(kCheckWire, 0, value);
}

TVEKIfcWires TVEKRadioIfcCom::GetWires() {
  TVEKIfcWires wires;
  for (const TVEKIfcWireCmdRec& w : kVekComWires)
    wires.push_back(
        {w.Name, static_cast<uint8_t>(w.CanWrite ? kVekWireWritable : kVekWireReadable)});
  return wires;
}

TVEKIfcWires TVEKRadioIfcCom::GetTypeWires() { return GetWires(); }

std::u16string TVEKRadioIfcCom::ErrorText(int code) {
  if (code == 0) return {};
  return DaxSerialErrorText(code);
}

int TVEKRadioIfcCom::WriteWire(int index, bool value) {
  if (!ValidIndex(index) || !kVekComWires[index].CanWrite) return VEK_WIRE_INVALID_ACCESS;
  if (fd_ < 0) return EBADF;
  int bits = 0;
  int code = port_->GetModemBits(fd_, bits);
  if (code != 0) return code;
  if (value != inverted_[index])
    bits |= kVekComWires[index].Bit;
  else
    bits &= ~kVekComWires[index].Bit;
  return port_->SetModemBits(fd_, bits);
}

int TVEKRadioIfcCom::ReadWire(int index, int32_t /*level*/, bool& value) {
  if (!ValidIndex(index) || !kVekComWires[index].CanRead) return VEK_WIRE_INVALID_ACCESS;
  if (fd_ < 0) return EBADF;
  int bits = 0;
  const int code = port_->GetModemBits(fd_, bits);
  if (code != 0) return code;
  value = ((bits & kVekComWires[index].Bit) != 0) != inverted_[index];
  return 0;
}

bool TVEKRadioIfcCom::IsWireInverted(int index) { return ValidIndex(index) && inverted_[index]; }

bool TVEKRadioIfcCom::IsWireWritable(int index) {
  return ValidIndex(index) && kVekComWires[index].CanWrite;
}

TVEKWireName TVEKRadioIfcCom::WireName(int index) {
  return ValidIndex(index) ? TVEKWireName(kVekComWires[index].Name) : TVEKWireName();
}

int TVEKRadioIfcCom::AllocateWire(bool write, const TVEKWireName& name, TVEKWireInvertedMode mode,
                                  const std::u16string& /*p5*/, const std::u16string& /*p6*/,
                                  int& index) {
  const std::u16string upper = DaxUpperCaseAsciiW(name);
  int found = -1;
  for (int i = 0; i < kVekComWireCount && found < 0; ++i)
    if (upper == kVekComWires[i].Name) found = i;
  if (found < 0) return VEK_WIRE_NOT_FOUND;
  if (allocated_[found]) return VEK_WIRE_ALREADY_USED;
  if (write ? !kVekComWires[found].CanWrite : !kVekComWires[found].CanRead)
    return VEK_WIRE_INVALID_ACCESS;
  inverted_[found] = mode == wim_INVERTED;
  allocated_[found] = true;
  index = found;
  return VEK_WIRE_OK;
}

#include "station/ifc_vox.h"

#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "foundation/types.h"

namespace {
constexpr int kVoxDisabled = 2;
constexpr int kVoxNotWritable = 5;
}  // namespace

TVEKRadioIfcVOX::TVEKRadioIfcVOX(const std::u16string& name, const std::u16string& device,
                                 const TVEKRadioIfcSeams& seams)
    : TVEKRadioIfc(rit_VOX, name, device, seams) {
  int32_t t = 0;
  enabled_ = DaxTryStrToIntW(device, t) && t >= 0;
  threshold_ = t;
}

TVEKRadioIfcVOX::~TVEKRadioIfcVOX() { CloseOnDestroy(); }

int TVEKRadioIfcVOX::Open() { return enabled_ ? 0 : kVoxDisabled; }

TVEKIfcWires TVEKRadioIfcVOX::GetWires() { return {{u"VOX", kVekWireReadable}}; }

TVEKIfcWires TVEKRadioIfcVOX::GetTypeWires() { return GetWires(); }

std::u16string TVEKRadioIfcVOX::ErrorText(int code) {
  return DaxHookSysToUnicode(DaxErrorText(code));
}

int TVEKRadioIfcVOX::WriteWire(int, bool) { return kVoxNotWritable; }

int TVEKRadioIfcVOX::ReadWire(int, int32_t level, bool& value) {
  value = enabled_ && level >= threshold_;
  return 0;
}

int TVEKRadioIfcVOX::AllocateWire(bool write, const TVEKWireName&, TVEKWireInvertedMode,
                                  const std::u16string&, const std::u16string&, int& index) {
  if (write) return VEK_WIRE_INVALID_ACCESS;
  index = 0;
  return VEK_WIRE_OK;
}

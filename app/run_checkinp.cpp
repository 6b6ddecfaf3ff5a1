#include "app/run_checkinp.h"

#include <vector>

#include "foundation/charset.h"
#include "foundation/types.h"

namespace {

[[noreturn]] void RaiseRunError(const std::u16string& text) {
  throw EVEKRunError(DaxUnicodeToSys(text));
}

std::vector<std::u16string> SplitSpec(const std::u16string& spec) {
  std::vector<std::u16string> fields;
  size_t start = 0;
  for (;;) {
    const size_t colon = spec.find(u':', start);
    fields.push_back(DaxTrimW(spec.substr(start, colon - start)));
    if (colon == std::u16string::npos) break;
    start = colon + 1;
  }
  return fields;
}

}  // namespace

TVEKRunCheckInput::TVEKRunCheckInput(const std::u16string& spec, const TVEKRadioIfcSeams& seams) {
  const std::vector<std::u16string> fields = SplitSpec(spec);
  if (fields.size() < 2 || fields[0].empty()) RaiseRunError(u"invalid command format: " + spec);
  type_text_ = fields[0];
  if (!VekParseRadioIfcType(type_text_, type_) || type_ == rit_UNKNOWN)
    RaiseRunError(u"unknown interface type: " + type_text_);
  device_ = fields[1];
  if (fields.size() > 3 && !VekParseWireInverted(fields[3], inverted_mode_))
    RaiseRunError(u"invalid wire mode: " + fields[3]);
  if (fields.size() > 2) wire_ = fields[2];
  if (fields.size() > 4) param5_ = fields[4];
  if (fields.size() > 5) param6_ = fields[5];

  interface_ = VekCreateRadioIfc(type_, device_, device_, seams);
  if (!interface_) RaiseRunError(u"Can not create the interface");
  try {
    if (!wire_.empty()) {
      int index = -1;
      const int code =
          interface_->AllocateWire(false, wire_, inverted_mode_, param5_, param6_, index);
      if (code != 0) {
        last_wire_error_ = code;
        RaiseRunError(TVEKRadioIfc::WireErrorText(code) + u": " + wire_);
      }
      wire_index_ = index;
    }
    wires_ = interface_->GetWires();
  } catch (...) {
    interface_.reset();
    throw;
  }
}

TVEKRunCheckInput::~TVEKRunCheckInput() {
  try {
    Stop();
  } catch (...) {
  }
}

void TVEKRunCheckInput::Poll(uint32_t now) {
  if (interface_) interface_->OpenDevice(now);
}

std::u16string TVEKRunCheckInput::GetActiveInputs(int32_t level) {
  if (!interface_) RaiseRunError(u"Device not specified");
  if (!interface_->IsOpened()) RaiseRunError(u"Device not opened");
  std::u16string text;
  for (size_t i = 0; i < wires_.size(); ++i) {
    if ((wires_[i].Flags & kVekWireReadable) == 0) continue;
    if (wire_index_ >= 0 && static_cast<int32_t>(i) != wire_index_) continue;
    bool value = false;
    const int code = interface_->ReadWire(static_cast<int>(i), level, value);
    if (code != 0) RaiseRunError(interface_->ErrorText(code));
    if (value) text += wires_[i].Name + u" ";
  }
  return DaxTrimW(text);
}

void TVEKRunCheckInput::Stop() {
  if (interface_) interface_->CloseDevice();
}

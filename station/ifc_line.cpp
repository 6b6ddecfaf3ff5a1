#include "station/ifc_line.h"

namespace {

// The text first: closing a FILE interface may replace its kept error text.
void WireFailed(TVEKRadioIfc& ifc, const char16_t* what, int index, int code, uint32_t now) {
  const std::u16string text = what + ifc.WireName(index) + u": " + ifc.ErrorText(code);
  ifc.MarkFailed(now, code);
  ifc.ReportFailure(now, text);
}

}  // namespace

void TVEKRadioIfcLineBase::DoChange(uint8_t kind, uint8_t value) {
  if (OnChange) OnChange(kind, value);
}

TVEKRadioIfcLine::TVEKRadioIfcLine(TVEKIfcSignalType kind, TVEKRadioIfc* ifc, int wire_index)
    : TVEKRadioIfcLineBase(kind), ifc_(ifc), wire_index_(wire_index) {
  if (ifc_) ifc_->AttachLine(this);
}

TVEKRadioIfcLine::~TVEKRadioIfcLine() {
  if (ifc_) ifc_->DetachLine(this);
}

int TVEKRadioIfcLine::SetValue(bool value, uint32_t now) {
  value_ = value;
  value_set_ = true;
  if (!ifc_ || !ifc_->IsReady(now)) return 0;
  const int code = ifc_->WriteWire(wire_index_, value);
  if (code != 0) WireFailed(*ifc_, u"Setting value for wire ", wire_index_, code, now);
  return code;
}

int TVEKRadioIfcLine::GetValue(int32_t level, bool& value, uint32_t now) {
  value = false;
  if (!ifc_ || !ifc_->IsReady(now)) return 0;
  bool v = false;
  const int code = ifc_->ReadWire(wire_index_, level, v);
  if (code != 0) {
    WireFailed(*ifc_, u"Getting value for wire ", wire_index_, code, now);
    return code;
  }
  value = v;
  return 0;
}

void TVEKRadioIfcLine::Reapply() {
  if (ifc_) Reapply(ifc_->Now());
}

void TVEKRadioIfcLine::Reapply(uint32_t now) {
  // Writing to a device that is down would fail anyway; its reopen reapplies.
  if (!HasValueToWrite() || !ifc_->IsOpened()) return;
  if (RewriteValue(now) == 0) AnnounceReapplied();
}

int TVEKRadioIfcLine::RewriteValue(uint32_t now) {
  if (!HasValueToWrite()) return 0;
  const int code = ifc_->WriteWire(wire_index_, value_);
  if (code != 0) WireFailed(*ifc_, u"Setting value for wire ", wire_index_, code, now);
  return code;
}

void TVEKRadioIfcLine::AnnounceReapplied() {
  if (HasValueToWrite()) DoChange(Kind(), value_ ? 1 : 0);
}

bool TVEKRadioIfcLine::HasValueToWrite() const {
  return ifc_ && value_set_ && ifc_->IsWireWritable(wire_index_);
}

int TVEKRadioIfcLine::TryOpenIfc(uint32_t now) {
  if (!ifc_ || ifc_->IsReady(now)) return 0;
  return ifc_->LastError();
}

void TVEKRadioIfcLine::CloseIfc() {
  if (ifc_) ifc_->CloseDevice();
}

std::u16string TVEKRadioIfcLine::GetIfcName() const { return ifc_ ? ifc_->Name() : u""; }

TVEKRadioIfcType TVEKRadioIfcLine::GetIfcType() const { return ifc_ ? ifc_->Type() : rit_UNKNOWN; }

bool TVEKRadioIfcLine::IsIfcOpen() const { return ifc_ && ifc_->IsOpened(); }

std::u16string TVEKRadioIfcLine::GetWireName() const {
  return ifc_ ? ifc_->WireName(wire_index_) : u"";
}

bool TVEKRadioIfcLine::IsInverted() const { return ifc_ && ifc_->IsWireInverted(wire_index_); }

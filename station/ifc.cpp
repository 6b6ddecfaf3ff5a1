#include "station/ifc.h"

#include <algorithm>

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/exception.h"
#include "foundation/texts.h"
#include "foundation/types.h"
#include "station/ifc_com.h"
#include "station/ifc_file.h"
#include "station/ifc_line.h"
#include "station/ifc_pool.h"
#include "station/ifc_vox.h"

namespace {

[[noreturn]] void RaiseText(const std::u16string& text) {
  throw Exception(DaxHookUnicodeToSys(text));
}

[[noreturn]] void RaiseSpecError(const std::u16string& status, const std::u16string& text) {
  RaiseText(status + u": \"" + text + u"\"");
}

}  // namespace

TVEKRadioIfc::TVEKRadioIfc(TVEKRadioIfcType type, std::u16string name, std::u16string device,
                           const TVEKRadioIfcSeams& seams)
    : type_(type),
      type_name_(VekEnumText(type)),
      name_(std::move(name)),
      device_(std::move(device)),
      clock_(seams.Clock) {
  // A first failed open may be retried at once.
  last_attempt_ = Now() - kVekIfcReopenIntervalMs;
}

TVEKRadioIfc::~TVEKRadioIfc() {
  // Lines outliving their interface must not touch it any more.
  for (TVEKRadioIfcLine* line : lines_) line->ifc_ = nullptr;
}

void TVEKRadioIfc::CloseOnDestroy() {
  if (state_ == ris_Open) Close();
  state_ = ris_Closed;
}

uint32_t TVEKRadioIfc::Now() const { return clock_ ? clock_() : DaxTickMs(); }

void TVEKRadioIfc::OpenDevice(uint32_t now) {
  if (state_ == ris_Open) return;
  const int code = Open();
  if (code == 0) {
    state_ = ris_Open;
    return;
  }
  last_error_ = code;
  last_attempt_ = now;
  state_ = ris_Failed;
  ReportFailure(now, u"OPEN DEVICE: " + device_ + u": " + ErrorText(code));
}

void TVEKRadioIfc::CloseDevice() {
  if (state_ == ris_Open) Close();
  state_ = ris_Closed;
}

void TVEKRadioIfc::MarkFailed(uint32_t now, int code) {
  Close();
  if (code != 0) last_error_ = code;
  last_attempt_ = now;
  state_ = ris_Failed;
}

void TVEKRadioIfc::CheckDevice(uint32_t now) {
  if (state_ == ris_Open) {
    const int code = Check();
    if (code != 0) {
      // The text first: closing may replace a kept error text.
      const std::u16string text = ErrorText(code);
      MarkFailed(now, code);
      ReportFailure(now, text);
    }
  } else if (state_ == ris_Failed) {
    Reopen(now);
  }
}

void TVEKRadioIfc::Reopen(uint32_t now) {
  if (state_ == ris_Closed) {
    OpenDevice(now);
  } else if (state_ == ris_Failed) {
    if (static_cast<uint32_t>(now - last_attempt_) <= kVekIfcReopenIntervalMs - 1) return;
    OpenDevice(now);
    // An open alone proves little: a FILE write wire opens without touching
    // the file system.
    if (state_ != ris_Open || !ProveReopened(now)) return;
    uint32_t held = 0;
    failure_reports_.End(held);
    DoInfo(u"Device is successfully reopened: " + device_);
    const std::vector<TVEKRadioIfcLine*> lines = lines_;
    for (TVEKRadioIfcLine* line : lines) line->AnnounceReapplied();
  }
}

bool TVEKRadioIfc::ProveReopened(uint32_t now) {
  const int code = Check();
  if (code != 0) {
    const std::u16string text = ErrorText(code);
    MarkFailed(now, code);
    ReportFailure(now, text);
    return false;
  }
  const std::vector<TVEKRadioIfcLine*> lines = lines_;
  for (TVEKRadioIfcLine* line : lines)
    if (line->RewriteValue(now) != 0) return false;
  return state_ == ris_Open;
}

bool TVEKRadioIfc::IsReady(uint32_t now) {
  Reopen(now);
  return state_ == ris_Open;
}

void TVEKRadioIfc::AttachLine(TVEKRadioIfcLine* line) {
  if (std::find(lines_.begin(), lines_.end(), line) == lines_.end()) lines_.push_back(line);
}

void TVEKRadioIfc::DetachLine(TVEKRadioIfcLine* line) {
  lines_.erase(std::remove(lines_.begin(), lines_.end(), line), lines_.end());
  if (lines_.empty() && state_ == ris_Open) {
    Close();
    state_ = ris_Closed;
  }
}

void TVEKRadioIfc::DoError(const std::u16string& text) {
  if (OnError)
    OnError(text);
  else
    RaiseText(text);
}

void TVEKRadioIfc::ReportFailure(uint32_t now, const std::u16string& text) {
  uint32_t held = 0;
  const bool due = failure_reports_.Pass(now, held);
  if (!OnError) RaiseText(text);
  if (!due) return;
  OnError(held == 0 ? text
                    : text + u" (" + DaxIntToStrW(static_cast<int64_t>(held)) +
                          u" more since the last report)");
}

void TVEKRadioIfc::DoInfo(const std::u16string& text) {
  if (OnInfo) OnInfo(text);
}

std::u16string TVEKRadioIfc::WireErrorText(int code) {
  switch (code) {
    case VEK_WIRE_OK:
      return u"ok";
    case VEK_WIRE_NOT_IMPLEMENTED:
      return u"not implemented";
    case VEK_WIRE_NOT_FOUND:
      return u"wire not found on device";
    case VEK_WIRE_ALREADY_USED:
      return u"wire already used";
    case VEK_WIRE_INVALID_ACCESS:
      return u"invalid access to wire";
    default:
      throw Exception("unknown error code");
  }
}

std::unique_ptr<TVEKRadioIfc> VekCreateRadioIfc(TVEKRadioIfcType type, const std::u16string& name,
                                                const std::u16string& device,
                                                const TVEKRadioIfcSeams& seams) {
  switch (type) {
    case rit_UNKNOWN:
      return nullptr;
    case rit_COM:
      return std::make_unique<TVEKRadioIfcCom>(name, device, seams);
    case rit_VOX:
      return std::make_unique<TVEKRadioIfcVOX>(name, device, seams);
    case rit_FILE:
      return std::make_unique<TVEKRadioIfcFILE>(name, device, seams);
  }
  RaiseText(u"Radio interface type \"" + VekEnumText(type) + u"\" is not implemented");
}

void VekParseWireSpec(const std::u16string& spec, TVEKRadioIfcType& type, std::u16string& device,
                      std::u16string& wire, TVEKWireInvertedMode& mode, std::u16string& p5,
                      std::u16string& p6) {
  if (DaxFieldCountW(spec, u':') < 2)
    RaiseSpecError(VekMsgInvalidRadioInterfaceConfiguration(), spec);
  std::u16string field;
  DaxGetFieldW(spec, u':', 1, field);
  field = DaxTrimControlW(field);
  TVEKRadioIfcType t = rit_UNKNOWN;
  if (!VekParseRadioIfcType(field, t)) RaiseSpecError(VekMsgInvalidRadioInterfaceType(), field);
  DaxGetFieldW(spec, u':', 2, field);
  std::u16string dev = DaxTrimW(field);
  DaxGetFieldW(spec, u':', 3, field);  // empty when missing
  std::u16string w = DaxTrimW(field);
  TVEKWireInvertedMode m = wim_NORMAL;
  DaxGetFieldW(spec, u':', 4, field);
  if (!field.empty() && !VekParseWireInverted(field, m))
    RaiseSpecError(VekMsgInvalidWireMode(), field);
  std::u16string f5, f6;
  DaxGetFieldW(spec, u':', 5, f5);
  DaxGetFieldW(spec, u':', 6, f6);
  type = t;
  device = std::move(dev);
  wire = std::move(w);
  mode = m;
  p5 = std::move(f5);
  p6 = std::move(f6);
}

bool VekIfcSignalIsWrite(TVEKIfcSignalType signal) { return signal != ist_COS; }

std::unique_ptr<TVEKRadioIfcLine> VekCreateRadioIfcLine(
    TVEKIfcSignalType signal, const std::u16string& spec, TVEKRadioIfcPool& pool,
    const TVEKIfcTextEvent& on_info, std::u16string& error_text, const TVEKIfcTextEvent& on_error) {
  error_text.clear();
  const bool write = VekIfcSignalIsWrite(signal);
  TVEKRadioIfcType type;
  std::u16string device, wire, p5, p6;
  TVEKWireInvertedMode mode;
  VekParseWireSpec(spec, type, device, wire, mode, p5, p6);
  TVEKRadioIfc* ifc = pool.Find(type, device);
  if (!ifc) {
    std::unique_ptr<TVEKRadioIfc> created = VekCreateRadioIfc(type, device, device, pool.Seams);
    if (!created) return nullptr;  // the parser never yields rit_UNKNOWN
    created->OnInfo = on_info;
    created->OnError = on_error;
    ifc = pool.Add(std::move(created));
  }
  int index = -1;
  const int code = ifc->AllocateWire(write, wire, mode, p5, p6, index);
  if (code == 0) return std::make_unique<TVEKRadioIfcLine>(signal, ifc, index);
  error_text = std::u16string(write ? u"WRITE" : u"READ") + u": wire \"" + ifc->TypeName() + u":" +
               device + u":" + wire + u":" + VekEnumText(mode) + u"\": " +
               TVEKRadioIfc::WireErrorText(code);
  return nullptr;
}

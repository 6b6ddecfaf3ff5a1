// Radio signal and static lines, and their upkeep at every pass. The lines
// lock keeps the engine's upkeep off the line objects while the main thread
// creates lines or switches them; it is never held across an owner callback.
#include "engine/mngr.h"

#include "foundation/exception.h"
#include "foundation/types.h"
#include "station/ifc_line.h"
#include "station/ifc_pool.h"

namespace {

const char* SignalName(int index) {
  switch (index) {
    case msig_PTT: return "PTT";
    case msig_COS: return "COS";
    default: return "LIGHT";
  }
}

void CheckSignalIndex(int index) {
  if (index < 0 || index >= msig_Count) throw Exception("signal index out of range");
}

void WriteLine(TVEKRadioIfcLine* line, bool value, uint32_t now) {
  if (line) line->SetValue(value, now);
}

}  // namespace

std::unique_ptr<TVEKRadioIfcLine> TVEKManager::MakeLine(TVEKIfcSignalType type, const std::u16string& spec,
                                                       std::u16string& error_text) {
  return VekCreateRadioIfcLine(
      type, spec, *ifc_pool_, [this](const std::u16string& t) { RadioInfo(t); }, error_text,
      [this](const std::u16string& t) { RadioError(t); });
}

bool TVEKManager::CreateSignalLine(int index, const std::u16string& spec, std::u16string& error_text) {
  CheckSignalIndex(index);
  error_text.clear();
  std::lock_guard<std::mutex> guard(lines_lock_);
  std::unique_ptr<TVEKRadioIfcLine> line = MakeLine(static_cast<TVEKIfcSignalType>(index), spec, error_text);
  if (!line) return false;
  line->OnChange = [](uint8_t, uint8_t) {};
  signals_[index] = std::move(line);
  return true;
}

void TVEKManager::SetStaticLines(const std::u16string& spec, TVEKIfcErrorList& errors) {
  errors.clear();
  size_t start = 0;
  while (start <= spec.size()) {
    size_t end = spec.find(u';', start);
    if (end == std::u16string::npos) end = spec.size();
    const std::u16string field = DaxTrimW(spec.substr(start, end - start));
    start = end + 1;
    if (field.empty()) continue;
    TVEKIfcErrorItem item{field, {}};
    std::lock_guard<std::mutex> guard(lines_lock_);
    std::unique_ptr<TVEKRadioIfcLine> line = MakeLine(ist_STATIC, field, item.Error);
    if (line) static_lines_.push_back(std::move(line));
    errors.push_back(std::move(item));
  }
}

TVEKRadioIfcLine& TVEKManager::AssignedSignal(int index) const {
  CheckSignalIndex(index);
  const TVEKRadioIfcLine* line = signals_[index].get();
  if (!line || !line->HasIfc())
    throw Exception(std::string("signal \"") + SignalName(index) + "\" not assigned");
  return *signals_[index];
}

bool TVEKManager::SignalAssigned(int index) const {
  CheckSignalIndex(index);
  std::lock_guard<std::mutex> guard(lines_lock_);
  return signals_[index] && signals_[index]->HasIfc();
}

std::u16string TVEKManager::SignalWireName(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return AssignedSignal(index).GetWireName();
}

TVEKRadioIfcType TVEKManager::SignalInterfaceType(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return AssignedSignal(index).GetIfcType();
}

std::u16string TVEKManager::SignalInterfaceName(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return AssignedSignal(index).GetIfcName();
}

bool TVEKManager::SignalIsInverted(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return AssignedSignal(index).IsInverted();
}

bool TVEKManager::SignalIsOpen(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return AssignedSignal(index).IsIfcOpen();
}

int TVEKManager::StaticLineCount() const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return static_cast<int>(static_lines_.size());
}

std::u16string TVEKManager::StaticLineWireName(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return static_lines_.at(static_cast<size_t>(index))->GetWireName();
}

TVEKRadioIfcType TVEKManager::StaticLineInterfaceType(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return static_lines_.at(static_cast<size_t>(index))->GetIfcType();
}

std::u16string TVEKManager::StaticLineInterfaceName(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return static_lines_.at(static_cast<size_t>(index))->GetIfcName();
}

bool TVEKManager::StaticLineIsInverted(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return static_lines_.at(static_cast<size_t>(index))->IsInverted();
}

bool TVEKManager::StaticLineIsOpen(int index) const {
  std::lock_guard<std::mutex> guard(lines_lock_);
  return static_lines_.at(static_cast<size_t>(index))->IsIfcOpen();
}

void TVEKManager::SetRadioEnabled(bool on) { ApplyRadioEnabled(on); }

void TVEKManager::ApplyRadioEnabled(bool on) {
  {
    std::lock_guard<std::mutex> guard(lines_lock_);
    if (on == radio_lines_on_.load()) return;
    const uint32_t now = Now();
    TVEKRadioIfcLine* ptt = signals_[msig_PTT].get();
    TVEKRadioIfcLine* light = signals_[msig_LIGHT].get();
    if (!on) {
      for (auto& line : static_lines_) WriteLine(line.get(), false, now);
      WriteLine(ptt, false, now);
      WriteLine(light, false, now);
    }
    auto switch_line = [on, now](TVEKRadioIfcLine* line) {
      if (!line || !line->HasIfc()) return;
      if (on)
        line->TryOpenIfc(now);
      else
        line->CloseIfc();
    };
    for (auto& line : static_lines_) switch_line(line.get());
    switch_line(ptt);
    switch_line(signals_[msig_COS].get());
    switch_line(light);
    if (on) {
      for (auto& line : static_lines_) WriteLine(line.get(), true, now);
      WriteLine(ptt, PTTEnabled.load() && ptt_state_.load(), now);
      WriteLine(light, false, now);
    }
    radio_lines_on_.store(on);
  }
  RecomputeHourSlot();
}

void TVEKManager::SetPTT(bool on) {
  if (ptt_state_.load() == on) return;
  ptt_state_.store(on);
  std::lock_guard<std::mutex> guard(lines_lock_);
  if (radio_lines_on_.load()) WriteLine(signals_[msig_PTT].get(), PTTEnabled.load() && on, Now());
}

void TVEKManager::SetLIGHT(bool on) {
  if (light_state_.load() == on) return;
  light_state_.store(on);
  Notify(OnLightChanged);
  std::lock_guard<std::mutex> guard(lines_lock_);
  WriteLine(signals_[msig_LIGHT].get(), on, Now());
}

bool TVEKManager::ReadCos(uint32_t level_word) {
  std::lock_guard<std::mutex> guard(lines_lock_);
  // A read would open the device behind the switch, and a carrier seen now
  // would skip its catch time (there is no debounce with the lines off).
  if (!radio_lines_on_.load()) return false;
  TVEKRadioIfcLine* line = signals_[msig_COS].get();
  bool value = false;
  if (line) line->GetValue(static_cast<int32_t>(level_word & 0x00FFFFFFu), value, Now());
  return value;
}

// Callers hold the lines lock.
void TVEKManager::CheckStaticLines(uint32_t now) {
  for (auto& line : static_lines_)
    if (line->HasIfc()) line->Ifc()->CheckDevice(now);
}

void TVEKManager::CheckSignalLine(int index, uint32_t now) {
  TVEKRadioIfcLine* line = signals_[index].get();
  if (line && line->HasIfc()) line->Ifc()->CheckDevice(now);
}

void TVEKManager::ReapplyStaticLines(uint32_t now) {
  for (auto& line : static_lines_) line->Reapply(now);
}

void TVEKManager::ReapplySignal(int index, uint32_t now) {
  if (TVEKRadioIfcLine* line = signals_[index].get()) line->Reapply(now);
}

void TVEKManager::LineUpkeep(uint32_t now) {
  std::lock_guard<std::mutex> guard(lines_lock_);
  auto check_all = [&] {
    CheckStaticLines(now);
    CheckSignalLine(msig_PTT, now);
    CheckSignalLine(msig_LIGHT, now);
    CheckSignalLine(msig_COS, now);
  };
  check_all();
  const bool play = IsCurrent(me_Evn_Audio_PlayLevel);
  const bool capture = IsCurrent(me_Evn_Audio_CaptureLevel);
  const bool tick = IsCurrent(me_Evn_Timer_Tick);
  if (!(play || capture || tick)) return;
  check_all();
  ReapplyStaticLines(now);
  if (play || tick) ReapplySignal(msig_PTT, now);
  if (capture || tick) ReapplySignal(msig_LIGHT, now);
}

void TVEKManager::FreeLines() {
  std::lock_guard<std::mutex> guard(lines_lock_);
  static_lines_.clear();
  signals_[msig_PTT].reset();
  signals_[msig_COS].reset();
  signals_[msig_LIGHT].reset();
}

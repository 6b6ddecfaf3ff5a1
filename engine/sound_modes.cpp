#include "engine/sound_modes.h"

#include <array>

namespace {

// One row per mode, in the order of the enumeration: the mode, its
// properties and, for a sound with a script, the mode of the script's files.
struct TSoundModeRow {
  TVEKSoundMode Mode;
  uint32_t Props;
  TVEKSoundMode ScriptFiles = msm_Normal;
};

constexpr std::array<TSoundModeRow, kVekSoundModeCount> kSoundModes = {{
    {msm_Normal, smp_CarrierSampled | smp_SilencedByLink | smp_YieldsToHour},
    {msm_Control, smp_HoldsQueue | smp_EndsOwnSound | smp_ServiceSound | smp_SwitchAtEnd | smp_YieldsToHour},
    {msm_ControlBOT, smp_HoldsQueue | smp_ServiceSound | smp_LeadsIntoVoice},
    {msm_Hour, smp_EndsOwnSound | smp_RunsScript, msm_HourExt},
    {msm_HourExt, smp_EndsOwnSound},
    {msm_Annon, smp_EndsOwnSound | smp_RunsScript | smp_YieldsToHour, msm_AnnonExt},
    {msm_AnnonExt, smp_EndsOwnSound | smp_YieldsToHour},
    {msm_ExtFile, smp_EndsOwnSound},
    {msm_Conn, smp_HoldsQueue | smp_EndsOwnSound | smp_ServiceSound | smp_RunsScript | smp_OpensReception,
     msm_ConnExt},
    {msm_ConnExt, smp_HoldsQueue | smp_EndsOwnSound | smp_OpensReception},
    {msm_Transit, smp_HoldsQueue | smp_CarrierSampled | smp_SilencedByLink | smp_TransitPath},
}};

constexpr bool RowHas(const TSoundModeRow& row, uint32_t bit) { return (row.Props & bit) != 0; }

constexpr bool RowsInEnumerationOrder() {
  for (size_t i = 0; i < kSoundModes.size(); ++i)
    if (kSoundModes[i].Mode != i) return false;
  return true;
}

// A known mode other than the transit path ends one way only: no own sound,
// an own sound that ends by itself, or the sound that leads into the voice.
// A mode with none of them would raise "Unknown sound mode" at its end.
constexpr bool EveryModeEndsOneWay() {
  for (const TSoundModeRow& row : kSoundModes) {
    if (RowHas(row, smp_TransitPath)) continue;
    const int ways = (row.Mode == msm_Normal) + RowHas(row, smp_EndsOwnSound) + RowHas(row, smp_LeadsIntoVoice);
    if (ways != 1) return false;
  }
  return true;
}

// A script's files are an own sound of their own that ends by itself and
// runs no further script; they open the reception when their sound does, or
// the reception held for the connect sound would stay shut.
constexpr bool ScriptFilesFollowTheirSound() {
  for (const TSoundModeRow& row : kSoundModes) {
    if (!RowHas(row, smp_RunsScript)) {
      if (row.ScriptFiles != msm_Normal) return false;
      continue;
    }
    const TSoundModeRow& files = kSoundModes[row.ScriptFiles];
    if (row.ScriptFiles == row.Mode || !RowHas(files, smp_EndsOwnSound) || RowHas(files, smp_RunsScript))
      return false;
    if (RowHas(files, smp_OpensReception) != RowHas(row, smp_OpensReception)) return false;
  }
  return true;
}

static_assert(RowsInEnumerationOrder(), "one row for every sound mode, in the order of the modes");
static_assert(EveryModeEndsOneWay(), "every sound mode ends one way");
static_assert(ScriptFilesFollowTheirSound(), "a script's files play in a mode of their own");

}  // namespace

uint32_t VekSoundModeProps(uint8_t mode) { return VekIsSoundMode(mode) ? kSoundModes[mode].Props : 0; }

uint8_t VekScriptFilesMode(uint8_t mode) {
  return VekIsSoundMode(mode) ? kSoundModes[mode].ScriptFiles : msm_Normal;
}

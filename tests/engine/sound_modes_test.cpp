#include "engine/sound_modes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "foundation/charset.h"

namespace {

std::string Name(int mode) {
  return mode < kVekSoundModeCount ? DaxUnicodeToUtf8(VekEnumText(static_cast<TVEKSoundMode>(mode)))
                                   : "value " + std::to_string(mode);
}

// Each property by the modes that have it, as the handlers need them; the
// engine tests leave several of these (the held queue, the sounds the hour
// sound replaces) unexercised. A value beyond the modes has none.
TEST(SoundModes, EachPropertyHoldsForExactlyItsModes) {
  struct TCase {
    const char* Name;
    uint32_t Bit;
    std::set<int> Modes;
  };
  const std::vector<TCase> cases = {
      {"HoldsQueue", smp_HoldsQueue, {msm_Control, msm_ControlBOT, msm_Conn, msm_ConnExt, msm_Transit}},
      {"CarrierSampled", smp_CarrierSampled, {msm_Normal, msm_Transit}},
      {"SilencedByLink", smp_SilencedByLink, {msm_Normal, msm_Transit}},
      {"TransitPath", smp_TransitPath, {msm_Transit}},
      {"EndsOwnSound",
       smp_EndsOwnSound,
       {msm_Control, msm_Hour, msm_HourExt, msm_Annon, msm_AnnonExt, msm_ExtFile, msm_Conn, msm_ConnExt}},
      {"ServiceSound", smp_ServiceSound, {msm_Control, msm_ControlBOT, msm_Conn}},
      {"SwitchAtEnd", smp_SwitchAtEnd, {msm_Control}},
      {"LeadsIntoVoice", smp_LeadsIntoVoice, {msm_ControlBOT}},
      {"RunsScript", smp_RunsScript, {msm_Hour, msm_Annon, msm_Conn}},
      {"OpensReception", smp_OpensReception, {msm_Conn, msm_ConnExt}},
      {"YieldsToHour", smp_YieldsToHour, {msm_Normal, msm_Control, msm_Annon, msm_AnnonExt}},
  };
  uint32_t all_bits = 0;
  for (const TCase& c : cases) {
    all_bits |= c.Bit;
    for (int mode = 0; mode < 256; ++mode)
      EXPECT_EQ(VekSoundModeHas(static_cast<uint8_t>(mode), c.Bit), c.Modes.count(mode) == 1)
          << c.Name << " of " << Name(mode);
  }
  for (int mode = 0; mode < 256; ++mode)
    EXPECT_EQ(VekSoundModeProps(static_cast<uint8_t>(mode)) & ~all_bits, 0u) << "a property untested in " << Name(mode);
}

TEST(SoundModes, ScriptFilesPlayInTheirOwnMode) {
  for (int mode = 0; mode < 256; ++mode) {
    uint8_t expected = msm_Normal;
    if (mode == msm_Hour) expected = msm_HourExt;
    if (mode == msm_Annon) expected = msm_AnnonExt;
    if (mode == msm_Conn) expected = msm_ConnExt;
    EXPECT_EQ(VekScriptFilesMode(static_cast<uint8_t>(mode)), expected) << Name(mode);
  }
}

}  // namespace

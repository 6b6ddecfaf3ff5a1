#include "engine/mngr_events.h"

#include <charconv>

#include "foundation/types.h"

namespace {

// The first event number that has no row or two rows, or -1 when every
// number from 0 up has exactly one. A member the table lacks altogether is
// for VekManagerEventName's switch to find.
constexpr int FirstEventWithoutOneRow() {
  std::array<int, kVekManagerEventCount> rows{};
  auto count = [&rows](const auto& list) {
    for (TVEKManagerEvent event : list) {
      if (event >= kVekManagerEventCount) return static_cast<int>(event);
      ++rows[event];
    }
    return -1;
  };
  if (const int beyond = count(kVekManagerHandlingOrder); beyond >= 0) return beyond;
  if (const int beyond = count(kVekManagerEventsOutsideOrder); beyond >= 0) return beyond;
  for (int event = 0; event < kVekManagerEventCount; ++event)
    if (rows[event] != 1) return event;
  return -1;
}
static_assert(FirstEventWithoutOneRow() == -1,
              "the event of this number needs exactly one row in mngr_event_table.def");

constexpr uint32_t kStateProps[kVekManagerStateCount] = {
    0xA0,   // mst_Init
    0,      // mst_Offline
    0,      // mst_Disconnecting
    0,      // mst_DynPassword
    0,      // mst_Connecting
    0x9,    // mst_Idle
    0x383,  // mst_TxOn
    0x3A3,  // mst_TxEnding
    0x381,  // mst_TxRequested
    0xE5,   // mst_RxDraining
    0xA5,   // mst_RxPlaying
};

constexpr const char* kStateNames[kVekManagerStateCount] = {
    "mst_Init",        "mst_Offline", "mst_Disconnecting", "mst_DynPassword",
    "mst_Connecting",  "mst_Idle",    "mst_TxOn",          "mst_TxEnding",
    "mst_TxRequested", "mst_RxDraining", "mst_RxPlaying",
};

// Fixed-point text of a value, independent of the process locale.
std::string Fixed(float value, int decimals) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<double>(value),
                                 std::chars_format::fixed, decimals);
  if (ec != std::errc()) return "0";
  return std::string(buf, end);
}

}  // namespace

uint32_t VekManagerStateProps(TVEKManagerState state) {
  return state < kVekManagerStateCount ? kStateProps[state] : 0;
}

// No default: a member without a row is an error here, not a warning.
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wswitch"
const char* VekManagerEventName(TVEKManagerEvent event) {
  switch (event) {
#define VEK_EVENT(event, handler) \
  case event:                     \
    return #event;
#define VEK_EVENT_OUTSIDE_ORDER(event) \
  case event:                          \
    return #event;
#include "engine/mngr_event_table.def"
  }
  return "me_Evn_?";
}
#pragma GCC diagnostic pop

const char* VekManagerStateName(TVEKManagerState state) {
  return state < kVekManagerStateCount ? kStateNames[state] : "mst_?";
}

std::u16string VekFormatLoopStats(uint32_t a, uint32_t b, int32_t c, int32_t d) {
  const float pt = static_cast<float>(a) / 1000.0f;
  const float st = static_cast<float>(b) / 1000.0f;
  std::string text;
  if (pt >= 0.001f) {
    text = "LP=" + Fixed(static_cast<float>(c) / pt, 1) + "; WT=" + Fixed(static_cast<float>(d) / pt, 1);
  } else {
    text = "LP=INFINITY; WT=INFINITY";
  }
  text += "; PT=" + Fixed(pt, 3) + "; ST=" + Fixed(st, 2);
  return DaxAnsiToUnicodeRaw(text);
}

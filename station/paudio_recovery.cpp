// A sound card that drops out (a USB card unplugged, a device gone): the
// thread spaces its failure lines and counts the held-back ones, retries the
// open itself at a growing interval while the mode wants a stream, and says
// once when the card works again.
#include "foundation/types.h"
#include "station/paudio.h"

namespace {

const char16_t* DirectionPrefix(bool capture) { return capture ? u"CAPT: " : u"PLAY: "; }

const char16_t* KindText(bool capture, bool io) {
  if (!io) return u" more open errors since the last report";
  return capture ? u" more read errors since the last report" : u" more write errors since the last report";
}

}  // namespace

void TVEKAudioPA::ReportRepeated(bool capture, bool io, const std::u16string& text) {
  TTrouble& t = TroubleOf(capture);
  t.active = true;
  uint32_t held = 0;
  if (!(io ? t.io : t.open).Pass(api_->TickMs(), held)) return;
  ReportError(text);
  if (held > 0) ReportError(DirectionPrefix(capture) + DaxIntToStrW(held) + KindText(capture, io));
}

void TVEKAudioPA::EndTrouble(bool capture) {
  reopen_.Succeeded();
  TTrouble& t = TroubleOf(capture);
  if (!t.active) return;
  t.active = false;
  for (bool io : {true, false}) {
    uint32_t held = 0;
    if ((io ? t.io : t.open).End(held) && held > 0)
      ReportError(DirectionPrefix(capture) + DaxIntToStrW(held) + KindText(capture, io));
  }
  if (OnInfoText) OnInfoText(DirectionPrefix(capture) + std::u16string(u"audio device works again"));
}

void TVEKAudioPA::ReopenAfterError(bool capture) {
  // Not once the thread is to end: the failed device may hang the open (a
  // named pipe nobody reads), and the owner waits for this thread.
  if (Terminated()) return;
  const uint32_t now = api_->TickMs();
  // Only the first failure reopens at once; the back-off stays on until a
  // read or write works, so a stream that opens but fails at once is
  // retried at the growing interval too.
  if (reopen_.Failing()) {
    reopen_.Failed(now);
    return;
  }
  if (TryOpen(capture)) reopen_.Failed(now);
}

bool TVEKAudioPA::TryOpen(bool capture) {
  std::u16string failure;
  if (LookupDevice(capture, failure) < 0) {
    reopen_.Failed(api_->TickMs());
    ReportRepeated(capture, false, failure);
    return false;
  }
  OpenStream(capture);
  return stream_.load() != nullptr;
}

void TVEKAudioPA::RetryOrWait() {
  const TVEKAudioMode mode = mode_.load();
  if (mode == AMODE_STOP) {
    cmd_waiter_->WaitOne(22000000);
    return;
  }
  const uint32_t now = api_->TickMs();
  // A mode left without a stream by a request (no device, a failed open)
  // waits one interval too, so a request that follows is served first.
  if (!reopen_.Failing()) reopen_.Failed(now);
  if (!reopen_.Due(now)) {
    api_->Wait(*cmd_waiter_, reopen_.WaitMs(now));
    return;
  }
  if (Terminated()) return;
  // No level event here: the engine samples the carrier on capture levels,
  // and a card that cannot capture has none to give.
  TryOpen(mode != AMODE_PLAY);
}

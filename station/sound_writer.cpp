#include "station/sound_writer.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/charset.h"
#include "foundation/paths.h"
#include "foundation/types.h"

namespace {

constexpr std::size_t kWriteBufferSize = 65536;
constexpr std::uint32_t kIdleWaitMs = 80000000;

void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::u16string Digits(int value, int width) { return DaxIntToDigitsStrW(value, width); }

// Frees a taken record however its handling ends. A foreign code cannot be
// freed and must not throw from a destructor: such a record is left.
struct TCommandHolder {
  TVEKSoundWriterCommand* command;
  ~TCommandHolder() {
    try {
      TVEKSoundWriterQueue::FreeCommand(command);
    } catch (...) {
    }
  }
};

}  // namespace

// --- Queue -----------------------------------------------------------------

TVEKSoundWriterQueue::~TVEKSoundWriterQueue() {
  try {
    Clear();
  } catch (...) {
    // Only records of the three kinds are ever pushed.
  }
}

TVEKSoundWriterCommand* TVEKSoundWriterQueue::PopCommand() {
  void* item = nullptr;
  return Pop(item) ? static_cast<TVEKSoundWriterCommand*>(item) : nullptr;
}

void TVEKSoundWriterQueue::FreeCommand(TVEKSoundWriterCommand* command) {
  if (!command) return;
  switch (command->Code) {
    case VEK_SWCMD_OPEN: delete static_cast<TVEKSoundWriterCommandOpen*>(command); break;
    case VEK_SWCMD_DATA: delete static_cast<TVEKSoundWriterCommandData*>(command); break;
    case VEK_SWCMD_CLOSE: delete static_cast<TVEKSoundWriterCommandClose*>(command); break;
    default: throw Exception("TVEKSoundWriterQueue.DeleteData: Unknown command");
  }
}

void TVEKSoundWriterQueue::DeleteData(void* item) { FreeCommand(static_cast<TVEKSoundWriterCommand*>(item)); }

// --- Helpers ---------------------------------------------------------------

void VekSoundWriterHeader(std::uint8_t (&h)[44], std::uint32_t dataBytes, bool sized) {
  std::memcpy(h, "RIFF", 4);
  Put32(h + 4, sized ? dataBytes + 36 : 0);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  Put32(h + 16, 16);
  Put16(h + 20, 1);
  Put16(h + 22, 1);
  Put32(h + 24, 8000);
  Put32(h + 28, 16000);
  Put16(h + 32, 2);
  Put16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  Put32(h + 40, sized ? dataBytes : 0);
}

std::u16string VekSoundWriterDir(const std::u16string& base, std::uint8_t mode, const TDaxDateTime& t) {
  const std::u16string y = Digits(t.Year, 4), m = Digits(t.Month, 2), d = Digits(t.Day, 2);
  switch (mode) {
    case fwsm_NONE: return base;
    case fwsm_YYYY_MM_DD: return base + u"/" + y + u"/" + m + u"/" + d;
    case fwsm_YYYYMM_DD: return base + u"/" + y + m + u"/" + d;
    case fwsm_YYYYMMDD: return base + u"/" + y + m + d;
    case fwsm_YYYY_MMDD: return base + u"/" + y + u"/" + m + d;
    default: throw Exception("Unknown subdir mode");
  }
}

// --- Thread ----------------------------------------------------------------

TVEKSoundWriter::TVEKSoundWriter(const TVEKWriterCfgParams& params, const std::u16string& programDir)
    : params_(params),
      program_dir_(programDir),
      enabled_(params.Enabled),
      waiter_(std::make_unique<TWaiter2Socket>(1)) {
  Start();
}

TVEKSoundWriter::~TVEKSoundWriter() {
  if (!Finished()) Stop();
  WaitFor();
}

void TVEKSoundWriter::Wake() { waiter_->Signal(); }

void TVEKSoundWriter::QueueStart(bool fromServer, const std::u16string& bc, const std::u16string& ds,
                                 const std::u16string& on, const std::u16string& ct, const std::u16string& nn) {
  if (!enabled_) return;
  const std::uint8_t dir = params_.Direction;
  if (dir != frd_BOTH && (dir == frd_SERVER) != fromServer) return;
  auto* open = new TVEKSoundWriterCommandOpen;
  open->Source = fromServer ? VEK_SWSRC_SERVER : VEK_SWSRC_RADIO;
  open->BC = bc;
  open->DS = ds;
  open->ON = on;
  open->CT = ct;
  open->NN = nn;
  queue_.PushCommand(open);
  Wake();
}

void TVEKSoundWriter::QueueData(const void* bytes, std::int32_t length) {
  if (!enabled_ || !bytes || length <= 0) return;
  // Records hold at most 3200 bytes; a longer block is queued in pieces.
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  std::uint32_t left = static_cast<std::uint32_t>(length);
  while (left > 0) {
    auto* data = new TVEKSoundWriterCommandData;
    data->Length = std::min(left, kVekSoundWriterMaxData);
    std::memcpy(data->Data, p, data->Length);
    p += data->Length;
    left -= data->Length;
    queue_.PushCommand(data);
  }
  Wake();
}

void TVEKSoundWriter::QueueStop() {
  queue_.PushCommand(new TVEKSoundWriterCommandClose);
  Wake();
}

void TVEKSoundWriter::Stop() {
  enabled_ = false;
  Terminate();
  Wake();
}

void TVEKSoundWriter::Report(const std::exception& e) {
  const auto* ex = dynamic_cast<const Exception*>(&e);
  if (OnRecorderError) OnRecorderError(DaxHookSysToUnicode(ex ? ex->Message() : std::string(e.what())));
}

void TVEKSoundWriter::Execute() {
  started_ = true;
  while (!Terminated()) {
    try {
      while (TVEKSoundWriterCommand* command = queue_.PopCommand()) {
        TCommandHolder free{command};
        Handle(command, Terminated());
      }
      if (!Terminated()) waiter_->WaitOne(kIdleWaitMs);
    } catch (const std::exception& e) {
      Report(e);
      if (open_) {
        file_.CloseNoRaise();
        open_ = 0;
      }
    }
  }
  // What was queued before the stop still belongs to the open recording:
  // blocks already accepted are written, no new file is begun.
  try {
    while (TVEKSoundWriterCommand* command = queue_.PopCommand()) {
      TCommandHolder free{command};
      Handle(command, true);
    }
  } catch (const std::exception& e) {
    Report(e);
  }
  try {
    CloseFile();
  } catch (const std::exception& e) {
    Report(e);
  }
  if (file_.IsOpen()) file_.CloseNoRaise();
}

void TVEKSoundWriter::Handle(TVEKSoundWriterCommand* command, bool stopping) {
  switch (command->Code) {
    case VEK_SWCMD_OPEN:
      if (stopping) {
        CloseFile();
        return;
      }
      CloseFile();
      OpenFile(*static_cast<TVEKSoundWriterCommandOpen*>(command));
      break;
    case VEK_SWCMD_DATA: WriteData(*static_cast<TVEKSoundWriterCommandData*>(command)); break;
    case VEK_SWCMD_CLOSE: CloseFile(); break;
    default: throw Exception("Unknown commdand");
  }
}

void TVEKSoundWriter::OpenFile(const TVEKSoundWriterCommandOpen& open) {
  talker_.Source = open.Source;
  talker_.BC = open.BC;
  talker_.DS = open.DS;
  talker_.ON = open.ON;
  talker_.CT = open.CT;
  talker_.NN = open.NN;
  letter_ = open.Source == VEK_SWSRC_SERVER ? u"S" : u"R";
  CloseFile();

  const TDaxDateTime now = Now();
  std::u16string base = DaxTrimW(params_.Dir).empty() ? u"recorder" : params_.Dir;
  while (base.size() > 1 && base.back() == u'/') base.pop_back();
  base = DaxResolvePath(base, program_dir_);
  const std::u16string dir = VekSoundWriterDir(base, params_.SubdirMode, now);
  DaxForceDirectories(DaxHookUnicodeToSys(dir));

  const std::u16string stamp =
      DaxAnsiToUnicodeRaw(params_.FileNameFormat == fwff_SHORT ? DaxDateTimeToStamp(now) : DaxDateTimeToStampMs(now));
  const std::u16string stem = dir + u"/" + stamp + letter_;
  // A second recording in the same second (or millisecond) must not replace
  // the first: the name gets a counter.
  for (int n = 0;; ++n) {
    path_w_ = n == 0 ? stem + u".wav" : stem + u"_" + DaxAnsiToUnicodeRaw(std::to_string(n)) + u".wav";
    path_ = DaxHookUnicodeToSys(path_w_);
    file_.Assign(path_);
    const int rc = file_.OpenNoRaise(TDaxTextFile::TMode::Output, O_WRONLY | O_CREAT | O_EXCL, kWriteBufferSize);
    if (rc == EEXIST && n < 10000) continue;
    DaxCheckFileCreateError(rc, path_);
    break;
  }
  data_bytes_ = 0;
  std::uint8_t header[44];
  VekSoundWriterHeader(header, 0, false);
  try {
    DaxTextWriteBytes(file_, header, sizeof header);
  } catch (...) {
    file_.CloseNoRaise();
    throw;
  }
  open_ = open.Source == VEK_SWSRC_SERVER ? 2 : 1;
}

void TVEKSoundWriter::WriteData(const TVEKSoundWriterCommandData& data) {
  if (!open_ || data.Length == 0) return;
  const std::uint32_t n = std::min(data.Length, kVekSoundWriterMaxData);
  try {
    DaxTextWriteBytes(file_, data.Data, n);
  } catch (...) {
    try {
      CloseFile();
    } catch (...) {
      // The write failure is the one reported.
    }
    throw;
  }
  data_bytes_ += n;
}

void TVEKSoundWriter::CloseFile() {
  if (!open_) return;
  struct Cleared {
    std::uint8_t& flag;
    TDaxTextFile& file;
    ~Cleared() {
      if (file.IsOpen()) file.CloseNoRaise();
      flag = 0;
    }
  } cleared{open_, file_};

  DaxCheckFileWriteError(file_.FlushNoRaise(), path_);
  DaxCheckFileWriteError(file_.CloseNoRaise(), path_);

  std::uint8_t header[44];
  VekSoundWriterHeader(header, data_bytes_, true);
  TDaxBinaryFile patch;
  DaxCheckFileOpenError(DaxResetBinaryNoRaise(patch, path_, 2), path_);
  std::size_t written = 0;
  const int rc = DaxBlockWriteNoRaise(patch, header, sizeof header, written);
  const int rcClose = DaxCloseBinaryFile(patch);
  DaxCheckFileWriteError(rc, path_);
  DaxCheckFileWriteError(rcClose, path_);

  if (OnFileWritten) OnFileWritten(path_w_);
  if (!DaxTrimW(params_.Script).empty() && StartProgram) {
    const std::u16string script = DaxResolvePath(DaxTrimW(params_.Script), program_dir_);
    const std::vector<std::u16string> args = {path_w_, letter_, talker_.BC, talker_.DS,
                                              talker_.ON, talker_.CT, talker_.NN};
    const int rc2 = StartProgram(script, args);
    if (rc2 != 0 && OnRecorderError)
      OnRecorderError(DaxHookSysToUnicode(DaxFormatExecuteError(rc2, DaxHookUnicodeToSys(script))));
  }
}

#include "station/sound_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "foundation/charset.h"
#include "foundation/paths.h"
#include "foundation/types.h"

namespace {

constexpr std::size_t kWriteBufferSize = 65536;
// Recordings are kept like the program's other stored files; only the
// program's user writes in the folders it makes.
constexpr unsigned kFileMode = 0600;
constexpr unsigned kDirMode = 0755;
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

// Closes a descriptor unless released.
struct TDescriptor {
  int fd;
  ~TDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  int Release() { return std::exchange(fd, -1); }
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
      waiter_(std::make_unique<TWaiter2Socket>(1)),
      buffer_(kWriteBufferSize) {
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
      CloseDescriptors();
      open_ = 0;
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
  CloseDescriptors();
  open_ = 0;
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
  // The program usually runs as root: a level another user set up, or a
  // link, could point the file it creates anywhere.
  std::string refused;
  int dirFd = -1;
  DaxCheckDirCreateError(DaxOpenTrustedDirectoriesNoRaise(DaxHookUnicodeToSys(dir), kDirMode, dirFd, refused),
                         refused);
  TDescriptor dirGuard{dirFd};

  const std::u16string stamp =
      DaxAnsiToUnicodeRaw(params_.FileNameFormat == fwff_SHORT ? DaxDateTimeToStamp(now) : DaxDateTimeToStampMs(now));
  // A second recording in the same second (or millisecond) must not replace
  // the first, nor may a name planted meanwhile be followed: the name gets
  // a counter.
  int fd = -1;
  for (int n = 0;; ++n) {
    const std::u16string leaf =
        stamp + letter_ + (n == 0 ? u"" : u"_" + DaxAnsiToUnicodeRaw(std::to_string(n))) + u".wav";
    path_w_ = dir + u"/" + leaf;
    path_ = DaxHookUnicodeToSys(path_w_);
    leaf_ = DaxHookUnicodeToSys(leaf);
    do {
      fd = ::openat(dirFd, leaf_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) break;
    const int err = errno != 0 ? errno : -1;
    if (err == EEXIST && n < 10000) continue;
    DaxCheckFileCreateError(err, path_);
  }
  fd_ = fd;
  dir_fd_ = dirGuard.Release();
  data_bytes_ = 0;
  buffered_ = 0;
  std::uint8_t header[44];
  VekSoundWriterHeader(header, 0, false);
  std::memcpy(buffer_.data(), header, sizeof header);
  buffered_ = sizeof header;
  open_ = open.Source == VEK_SWSRC_SERVER ? 2 : 1;
}

void TVEKSoundWriter::WriteData(const TVEKSoundWriterCommandData& data) {
  if (!open_ || data.Length == 0) return;
  const std::uint32_t n = std::min(data.Length, kVekSoundWriterMaxData);
  if (buffered_ + n > buffer_.size()) {
    // A failed write ends the over: what reached the file stays a playable
    // recording, the rest of the over is dropped.
    if (const int err = FlushBuffer(); err != 0) FinishFile(err);
  }
  std::memcpy(buffer_.data() + buffered_, data.Data, n);
  buffered_ += n;
  data_bytes_ += n;
}

int TVEKSoundWriter::FlushBuffer() {
  const int code = DaxWriteAllNoRaise(fd_, buffer_.data(), buffered_);
  buffered_ = 0;
  return code;
}

void TVEKSoundWriter::CloseFile() {
  if (!open_) return;
  FinishFile(FlushBuffer());
}

void TVEKSoundWriter::FinishFile(int writeError) {
  struct Cleared {
    TVEKSoundWriter& w;
    ~Cleared() {
      w.CloseDescriptors();
      w.open_ = 0;
    }
  } cleared{*this};

  std::uint32_t dataBytes = data_bytes_;
  if (writeError != 0) {
    // The sizes say what is in the file, in whole samples.
    struct stat st {};
    const off_t size = ::fstat(fd_, &st) == 0 ? st.st_size : 0;
    if (size < 44) {
      ::unlinkat(dir_fd_, leaf_.c_str(), 0);  // not even a header
      DaxCheckFileWriteError(writeError, path_);
    }
    dataBytes = static_cast<std::uint32_t>(std::min<off_t>(size - 44, 0xFFFFFFFEu)) & ~1u;
    // A half sample at the end would make the file longer than the header
    // says; should the cut fail, the file still plays.
    if (size != 44 + static_cast<off_t>(dataBytes)) (void)!::ftruncate(fd_, 44 + static_cast<off_t>(dataBytes));
  }
  // Through the descriptor that wrote the file: the name may lead
  // elsewhere by now.
  std::uint8_t header[44];
  VekSoundWriterHeader(header, dataBytes, true);
  int code = 0;
  for (std::size_t done = 0; done < sizeof header && code == 0;) {
    const ssize_t n = ::pwrite(fd_, header + done, sizeof header - done, static_cast<off_t>(done));
    if (n > 0)
      done += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR)
      code = errno != 0 ? errno : -1;
    else if (n == 0)
      code = -1;
  }
  const int fd = fd_;
  fd_ = -1;
  const int closeCode = ::close(fd) == 0 ? 0 : (errno != 0 ? errno : -1);
  if (code != 0) DaxCheckFileWriteError(writeError != 0 ? writeError : code, path_);

  if (OnFileWritten) OnFileWritten(path_w_);
  if (!DaxTrimW(params_.Script).empty() && StartProgram) {
    const std::u16string script = DaxResolvePath(DaxTrimW(params_.Script), program_dir_);
    const std::vector<std::u16string> args = {path_w_, letter_, talker_.BC, talker_.DS,
                                              talker_.ON, talker_.CT, talker_.NN};
    const int rc2 = StartProgram(script, args);
    if (rc2 != 0 && OnRecorderError)
      OnRecorderError(DaxHookSysToUnicode(DaxFormatExecuteError(rc2, DaxHookUnicodeToSys(script))));
  }
  DaxCheckFileWriteError(writeError != 0 ? writeError : closeCode, path_);
}

void TVEKSoundWriter::CloseDescriptors() {
  if (fd_ >= 0) ::close(fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
  fd_ = dir_fd_ = -1;
  buffered_ = 0;
}

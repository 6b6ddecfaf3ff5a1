// The recorder: every over, received from the server or sent from the local
// radio, becomes its own 16-bit 8000-Hz mono WAV file. The voice threads only
// queue commands; TVEKSoundWriter, a worker thread, writes the files through
// a 64 KiB buffer, patches the WAV sizes when a file closes, reports it and
// may start a script on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/clock.h"
#include "foundation/fifo_ts.h"
#include "foundation/fileutils.h"
#include "foundation/setup_data.h"
#include "foundation/thread.h"
#include "foundation/waiter2_bsd.h"

enum : std::uint8_t {
  VEK_SWCMD_OPEN = 0,
  VEK_SWCMD_DATA = 1,
  VEK_SWCMD_CLOSE = 2,
};

// Source byte of an open command.
enum : std::uint8_t {
  VEK_SWSRC_RADIO = 0,
  VEK_SWSRC_SERVER = 1,
};

constexpr std::uint32_t kVekSoundWriterMaxData = 3200;

// Queue records; each begins with its command code, by which it is freed.
struct TVEKSoundWriterCommand {
  std::uint8_t Code;
};
struct TVEKSoundWriterCommandOpen : TVEKSoundWriterCommand {
  TVEKSoundWriterCommandOpen() : TVEKSoundWriterCommand{VEK_SWCMD_OPEN} {}
  std::uint8_t Source = VEK_SWSRC_RADIO;
  std::u16string BC, DS, ON, CT, NN;
};
struct TVEKSoundWriterCommandData : TVEKSoundWriterCommand {
  TVEKSoundWriterCommandData() : TVEKSoundWriterCommand{VEK_SWCMD_DATA} {}
  std::uint32_t Length = 0;
  std::uint8_t Data[kVekSoundWriterMaxData];
};
struct TVEKSoundWriterCommandClose : TVEKSoundWriterCommand {
  TVEKSoundWriterCommandClose() : TVEKSoundWriterCommand{VEK_SWCMD_CLOSE} {}
};

class TVEKSoundWriterQueue : public TFifoThreadSafe {
 public:
  TVEKSoundWriterQueue() : TFifoThreadSafe(128) {}
  ~TVEKSoundWriterQueue() override;

  // Takes ownership of a record made with new (one of the three above).
  void PushCommand(TVEKSoundWriterCommand* command) { Push(command); }
  // Null when empty; the caller frees the record with FreeCommand.
  TVEKSoundWriterCommand* PopCommand();
  // Frees a record by its code; any other code raises Exception
  // "TVEKSoundWriterQueue.DeleteData: Unknown command".
  static void FreeCommand(TVEKSoundWriterCommand* command);

 protected:
  void DeleteData(void* item) override;
};

// The 44-byte header of a PCM recording: with sized, the data byte count and
// the RIFF size (count + 36); else both 0, as while the file is written.
void VekSoundWriterHeader(std::uint8_t (&header)[44], std::uint32_t dataBytes, bool sized);

// The directory of a recording opened at `t` below `base`, by `mode`
// (a TVEKWriterSubdirMode): base itself, base/YYYY/MM/DD, base/YYYYMM/DD,
// base/YYYYMMDD or base/YYYY/MMDD. An unknown mode raises Exception
// "Unknown subdir mode".
std::u16string VekSoundWriterDir(const std::u16string& base, std::uint8_t mode, const TDaxDateTime& t);

class TVEKSoundWriter : public TDaxThread {
 public:
  // Starts a program without waiting for it; 0, or an error number when it
  // could not be started. The station does not reach the engine's starter
  // itself: the owner hands it in (VekRunProcess with seven arguments).
  using TStartProgram = std::function<int(const std::u16string& program, const std::vector<std::u16string>& args)>;
  using TOnText = std::function<void(const std::u16string& text)>;

  // Starts the thread. programDir: the directory relative settings are
  // resolved against.
  TVEKSoundWriter(const TVEKWriterCfgParams& params, const std::u16string& programDir);
  ~TVEKSoundWriter() override;

  // Set by the owner before the first command is queued.
  TOnText OnFileWritten;   // UTF-16 path of a finished recording
  TOnText OnRecorderError;  // the message of a failure
  TStartProgram StartProgram;
  // Time seam: the local date and time a file is opened at.
  std::function<TDaxDateTime()> Now = [] { return DaxNowLocal(); };

  // From the voice threads.
  void QueueStart(bool fromServer, const std::u16string& bc, const std::u16string& ds, const std::u16string& on,
                  const std::u16string& ct, const std::u16string& nn);
  void QueueData(const void* bytes, std::int32_t length);
  void QueueStop();
  // Disables recording, ends the thread (what was queued before is still
  // written to the open file, which is then closed) and wakes it.
  void Stop();

  bool Started() const { return started_.load(); }
  bool Enabled() const { return enabled_.load(); }
  // Commands waiting; a test seam.
  int Pending() const { return queue_.Count(); }

 protected:
  void Execute() override;

 private:
  void Handle(TVEKSoundWriterCommand* command, bool stopping);
  void OpenFile(const TVEKSoundWriterCommandOpen& open);
  void WriteData(const TVEKSoundWriterCommandData& data);
  void CloseFile();
  // Writes what the buffer holds: 0, or the error number.
  int FlushBuffer();
  // Patches the sizes (to what reached the file after a write error),
  // closes, reports the file and starts the script; then raises the error.
  void FinishFile(int writeError);
  void CloseDescriptors();
  void Report(const std::exception& e);
  void Wake();

  const TVEKWriterCfgParams params_;
  const std::u16string program_dir_;
  std::atomic<bool> enabled_;
  std::atomic<bool> started_{false};
  TVEKSoundWriterQueue queue_;
  std::unique_ptr<TWaiter2Socket> waiter_;

  // The current file; the recorder thread's own. It is written through
  // its descriptor only, and created in the directory held open.
  int fd_ = -1;
  int dir_fd_ = -1;
  std::vector<std::uint8_t> buffer_;
  std::size_t buffered_ = 0;
  std::string leaf_;
  std::string path_;
  std::u16string path_w_;
  std::u16string letter_;
  TVEKSoundWriterCommandOpen talker_;
  std::uint32_t data_bytes_ = 0;
  std::uint8_t open_ = 0;  // 0 none, 1 "R", 2 "S"
};

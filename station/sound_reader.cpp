#include "station/sound_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/fileutils.h"
#include "foundation/paths.h"
#include "foundation/texts.h"
#include "foundation/types.h"
#include "station/builtin_sounds.h"

namespace {

std::u16string MessageOf(const std::exception& e) { return DaxHookSysToUnicode(e.what()); }

std::u16string UseInternal() { return u": use [" + VekMsgInternal() + u"]"; }

bool PathExists(const std::u16string& path) {
  struct stat st;
  return ::stat(DaxHookUnicodeToSys(path).c_str(), &st) == 0;
}

bool IsPcmTag(int tag) { return tag == kWaveFormatPcm || tag == kWaveFormatExtensible; }

}  // namespace

TVEKSoundReader::TVEKSoundReader(TDaxPoolBuffers* pool, const TVEKSystemParameters* system,
                                 const TVEKSoundParameters* sounds)
    : pool_(pool), system_(system), sounds_(sounds) {
  if (pool_->BufferSize() < static_cast<int>(kFrameSamples * sizeof(int16_t)))
    throw Exception("SoundReader: pool buffers are too small");
  for (int i = 0; i < kVekBuiltinSoundCount; ++i) {
    const std::vector<uint8_t>& image = VekBuiltinSound(i + 1);
    builtin_[i] = std::make_unique<TMappedMemoryStream>(image.data(),
                                                        static_cast<int64_t>(image.size()));
  }
  // The mark events run after the ring's lock is released, so the engine's
  // take can overtake the reader's high-mark event: each decides on the
  // count as it is now, or the reader could stop at the low mark for good.
  ring_.OnHighMark = [this] {
    if (Terminated()) return;
    std::lock_guard<std::mutex> lock(ring_full_lock_);
    if (ring_.Count() >= ring_.HighMark()) ring_full_.store(true);
  };
  ring_.OnLowMark = [this] {
    if (Terminated()) return;
    {
      std::lock_guard<std::mutex> lock(ring_full_lock_);
      if (ring_.Count() <= ring_.LowMark()) ring_full_.store(false);
    }
    cmd_waiter_.Signal();
  };
  Start();
}

TVEKSoundReader::~TVEKSoundReader() {
  if (!Finished()) Stop();
  WaitFor();
  ReturnRing();
}

void TVEKSoundReader::Stop() {
  Terminate();
  cmd_waiter_.Signal();
}

// ---------------------------------------------------------------------------
// Engine side

bool TVEKSoundReader::IsSoundEnabled(int index) const {
  return index >= 0 && index < VekControlSoundCount && sounds_->Enabled[index];
}

std::u16string TVEKSoundReader::ControlSoundName(int index) const {
  if (index == csnd_Connect) {
    std::u16string connect = ConnectSoundFile();
    if (!connect.empty()) return connect;
  }
  return DaxTrimW(sounds_->FileNames[index]);
}

std::u16string TVEKSoundReader::GetSoundName(int index) const {
  if (index < 0 || index >= VekControlSoundCount || !file_in_use_[index].load()) return {};
  std::u16string name = ControlSoundName(index);
  return name.empty() ? name : GetSoundPath(name);
}

void TVEKSoundReader::SetConnectSoundFile(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(connect_lock_);
  connect_file_ = name;
}

std::u16string TVEKSoundReader::ConnectSoundFile() const {
  std::lock_guard<std::mutex> lock(connect_lock_);
  return connect_file_;
}

std::u16string TVEKSoundReader::GetSoundPath(const std::u16string& name) const {
  std::u16string program = system_->ProgramDir.empty() ? VekProgramDirW() : system_->ProgramDir;
  std::u16string dir = sounds_->SoundsDir.empty() ? std::u16string(u"sounds") : sounds_->SoundsDir;
  return DaxResolvePath(name, DaxResolvePath(dir, program));
}

void TVEKSoundReader::RequestFixedSound(int index) {
  if (mode_.load() != kModeIdle) throw Exception("SoundReader: busy");
  if (index < 0 || index >= VekControlSoundCount) throw Exception("SoundReader: invalid sound");
  sound_index_.store(index);
  sound_request_.store(true);
  cmd_waiter_.Signal();
}

void TVEKSoundReader::RequestFiles() {
  if (mode_.load() != kModeIdle) throw Exception("SoundReader: busy");
  files_request_.store(true);
  cmd_waiter_.Signal();
}

void TVEKSoundReader::ResumeReading() {
  resume_.store(true);
  cmd_waiter_.Signal();
}

bool TVEKSoundReader::StopPlayback() {
  if (Finished()) return false;
  uint32_t ticket = stop_requested_.fetch_add(1) + 1;
  stop_.store(true);
  pcm_.Abort();
  gsm_.Abort();
  cmd_waiter_.Signal();
  uint32_t start = DaxTickMs();
  for (;;) {
    if (static_cast<int32_t>(stop_served_.load() - ticket) >= 0) return true;
    uint32_t spent = DaxTickMs() - start;
    if (spent >= kStopReplyMs || Finished()) return false;
    reply_waiter_.WaitOne(kStopReplyMs - spent);
  }
}

// ---------------------------------------------------------------------------
// Reader thread

void TVEKSoundReader::Text(const std::u16string& text) {
  if (OnSoundText) OnSoundText(text);
}

void TVEKSoundReader::Execute() {
  started_.store(true);
  while (!Terminated()) {
    try {
      if (!Pass()) break;
    } catch (const std::exception& e) {
      Text(u"Execute: " + MessageOf(e));
    }
  }
  CloseCurrent();
  ReturnRing();
}

bool TVEKSoundReader::Pass() {
  if (resume_.exchange(false)) pause_.store(false);
  if (stop_.exchange(false)) {
    HandleStop();
    if (Terminated()) return false;
  }
  if (sound_request_.exchange(false)) {
    files_request_.store(false);
    ResetForSound();
    mode_.store(kModeControlSound);
    try {
      ReadSound(sound_index_.load());
    } catch (...) {
      // Even the built-in sound failed: the engine still learns it ended.
      FinishSound();
      throw;
    }
  }
  if (files_request_.exchange(false)) {
    if (mode_.load() != kModeFiles && !NextFile()) FinishSound();
    if (Terminated()) return false;
  }
  bool wait = true;
  uint32_t wait_ms = kIdleWaitMs;
  if (!pause_.load() && !ring_full_.load() && mode_.load() != kModeIdle)
    ProduceFrame(wait, wait_ms);
  if (wait && !stop_.load() && !Terminated()) cmd_waiter_.WaitOne(wait_ms);
  return true;
}

void TVEKSoundReader::ProduceFrame(bool& wait, uint32_t& wait_ms) {
  void* buffer;
  try {
    buffer = pool_->Buffers().PopOne();
  } catch (const EPtrBufferErrorUnderflow& e) {
    // Reported once per pause, not once per pass.
    Text(u"Execute: " + MessageOf(e));
    wait_ms = UnderflowPauseMs.load();
    return;
  }
  auto* samples = static_cast<int16_t*>(buffer);
  try {
    for (;;) {
      int blocks = 0;
      try {
        blocks = current_ != nullptr ? current_->ReadBlocks(samples, blocks_per_frame_) : 0;
      } catch (const std::exception& e) {
        // A file that cannot be read further ends here.
        Text(u"Execute: " + MessageOf(e));
        blocks = 0;
      }
      if (stop_.load()) break;
      if (blocks > 0) {
        int filled = blocks * samples_per_block_;
        if (filled < kFrameSamples)
          std::memset(samples + filled, 0, sizeof(int16_t) * (kFrameSamples - filled));
        ring_.PushOne(buffer);
        buffer = nullptr;
        if (OnFramesReady) OnFramesReady();
        wait = false;
        break;
      }
      uint8_t mode = mode_.load();
      if (mode == kModeControlSound) {
        FinishSound();
      } else if (mode == kModeFiles) {
        if (NextFile()) continue;
        FinishSound();
      } else {
        throw Exception("invalid algorithm");
      }
      break;
    }
  } catch (...) {
    if (buffer != nullptr) pool_->Buffers().PushOne(buffer);
    throw;
  }
  if (buffer != nullptr) pool_->Buffers().PushOne(buffer);
}

void TVEKSoundReader::ReadSound(int index) {
  file_in_use_[index].store(true);
  CloseCurrent();
  std::u16string name = ControlSoundName(index);
  bool opened = false;
  if (!name.empty()) {
    std::u16string path = GetSoundPath(name);
    opened = OpenControlFile(index, path);
  } else {
    file_in_use_[index].store(false);
  }
  if (!opened) OpenBuiltin(index);
  if (OnFixedSoundStarted) OnFixedSoundStarted(index);
  samples_per_block_ = current_->_get_SamplesPerBlock();
  blocks_per_frame_ = kFrameSamples / samples_per_block_;
}

// Every way the configured file can fail is reported once and leaves the
// built-in sound to play.
bool TVEKSoundReader::OpenControlFile(int index, const std::u16string& path) {
  std::u16string failure;
  if (!PathExists(path)) {
    failure = VekExtFileMsgNotFound(path);
  } else {
    try {
      file_.FileName = DaxHookUnicodeToSys(path);
      file_.Mode = TVEKFileStream::kModeReadDenyWrite;
      file_.Open();
      int probe = VekProbeSoundFile(file_, system_->AudioFilesConvert);
      if (probe == -2) {
        failure = VekExtFileMsgNotMono(path);
      } else if (probe == -1) {
        failure = VekExtFileMsgRateNot8000(path);
      } else if (probe != kWaveFormatGsm610 && !IsPcmTag(probe)) {
        failure = VekExtFileMsgUnknownFormat(path);
      } else {
        TSoundReader* reader = probe == kWaveFormatGsm610 ? static_cast<TSoundReader*>(&gsm_)
                                                          : static_cast<TSoundReader*>(&pcm_);
        file_.Seek(0, TDaxSeekOrigin::Beginning);
        reader->Open(&file_);
        current_ = reader;
        current_stream_ = &file_;
        return true;
      }
    } catch (const std::exception& e) {
      failure = u"file \"" + path + u"\": " + MessageOf(e);
    }
  }
  file_in_use_[index].store(false);
  Text(failure + UseInternal());
  CloseCurrent();
  return false;
}

void TVEKSoundReader::OpenBuiltin(int index) {
  CloseCurrent();
  TMappedMemoryStream* stream = builtin_[VekBuiltinSoundFor(index) - 1].get();
  stream->Seek(0, TDaxSeekOrigin::Beginning);
  int probe = VekProbeSoundFile(*stream, false);
  TSoundReader* reader = nullptr;
  if (probe == kWaveFormatGsm610) reader = &gsm_;
  if (IsPcmTag(probe)) reader = &pcm_;
  if (reader == nullptr) throw Exception("SoundReader.ReadSound: unknown sound format");
  stream->Seek(0, TDaxSeekOrigin::Beginning);
  reader->Open(stream);
  current_ = reader;
  current_stream_ = stream;
}

bool TVEKSoundReader::NextFile() {
  CloseCurrent();
  std::u16string name;
  while (!Terminated() && waiting_files_.Pop(name)) {
    std::string sys = DaxHookUnicodeToSys(name);
    TDaxBinaryFile test;
    test.Assign(sys);
    // Non-blocking, so that a named pipe cannot stall the thread here.
    int code = test.OpenNoRaise(O_RDONLY | O_NONBLOCK);
    if (code != 0) {
      Text(u"external file \"" + name + u"\": " + DaxHookSysToUnicode(DaxErrorText(code)));
      continue;
    }
    DaxCloseBinaryFile(test);
    try {
      file_.FileName = sys;
      file_.Mode = TVEKFileStream::kModeReadDenyWrite;
      file_.Open();
    } catch (const std::exception& e) {
      Text(u"TVEKSoundReader.next_file: TVEKStream.Create: " + MessageOf(e));
      continue;
    }
    int probe;
    try {
      probe = VekProbeSoundFile(file_, system_->AudioFilesConvert);
    } catch (const std::exception& e) {
      file_.Close();
      Text(u"file \"" + name + u"\": " + MessageOf(e));
      continue;
    }
    TSoundReader* reader = nullptr;
    if (probe == -2) {
      Text(VekExtFileMsgNotMono(name));
    } else if (probe == -1) {
      Text(VekExtFileMsgRateNot8000(name));
    } else if (IsPcmTag(probe)) {
      reader = &pcm_;
    } else if (probe == kWaveFormatGsm610) {
      reader = &gsm_;
    } else {
      Text(u"external file \"" + name + u"\": unknown format{1}");
    }
    if (reader == nullptr) {
      file_.Close();
      continue;
    }
    try {
      file_.Seek(0, TDaxSeekOrigin::Beginning);
      reader->Open(&file_);
    } catch (const std::exception& e) {
      reader->Close();
      file_.Close();
      Text(u"file \"" + name + u"\": " + MessageOf(e));
      continue;
    }
    current_ = reader;
    current_stream_ = &file_;
    mode_.store(kModeFiles);
    samples_per_block_ = reader->_get_SamplesPerBlock();
    blocks_per_frame_ = kFrameSamples / samples_per_block_;
    if (OnFileStarted) {
      started_files_.Push(name);
      OnFileStarted();
    }
    return true;
  }
  return false;
}

void TVEKSoundReader::FinishSound() {
  // Idle before the events, so a new request from their receiver is taken.
  mode_.store(kModeIdle);
  CloseCurrent();
  if (ring_.Count() > 0 && OnFramesReady) OnFramesReady();
  if (OnSoundFinished) OnSoundFinished();
}

void TVEKSoundReader::CloseCurrent() {
  pcm_.Close();
  gsm_.Close();
  current_ = nullptr;
  current_stream_ = nullptr;
  file_.Close();
}

void TVEKSoundReader::ReturnRing() {
  void* frames[kRingCapacity];
  int n;
  while ((n = ring_.PopMany(frames, kRingCapacity)) > 0) pool_->Buffers().PushMany(frames, n);
}

void TVEKSoundReader::ResetForSound() {
  ReturnRing();
  mode_.store(kModeIdle);
  ring_full_.store(false);
  waiting_files_.Clear();
  started_files_.Clear();
  CloseCurrent();
}

void TVEKSoundReader::HandleStop() {
  mode_.store(kModeIdle);
  waiting_files_.Clear();
  started_files_.Clear();
  pause_.store(false);
  ring_full_.store(false);
  CloseCurrent();
  ReturnRing();
  stop_served_.store(stop_requested_.load());
  reply_waiter_.Signal();
}

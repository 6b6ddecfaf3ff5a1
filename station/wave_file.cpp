#include "station/wave_file.h"

#include <fcntl.h>
#include <samplerate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "foundation/fileutils.h"

namespace {

constexpr uint32_t kMaxChunkSize = 0x7FFFFFFFu;  // larger counts as negative

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

[[noreturn]] void RaiseCorrupted() { throw EWaveFileErrorWaveCorrupted("WAVE file is corrupted"); }
[[noreturn]] void RaiseTooLong() {
  throw EWaveFileErrorHeaderIsTooLong("WAVE file header is too long");
}

}  // namespace

void TSoundReader::Open(TDaxStream* stream) {
  stream_ = stream;
  abort_.store(false, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// TWaveFile

void TWaveFile::CheckOpened() const {
  if (!opened_) throw Exception("File is not opened");
}

void TWaveFile::RaiseNoImplementation(const char* operation) const {
  throw Exception(std::string(ReaderClassName()) + "." + operation + ": no implementation");
}

int TWaveFile::_get_Channels() {
  CheckOpened();
  return FmtU16(2);
}

int TWaveFile::_get_BytesPerSample() {
  CheckOpened();
  return BitsPerSample() / 8;
}

int TWaveFile::_get_BytesPerBlock() { RaiseNoImplementation("_get_BytesPerBlock"); }

int TWaveFile::_get_SampleRate() {
  CheckOpened();
  uint32_t rate = FmtU32(4);
  return rate > 0x7FFFFFFFu ? 0 : static_cast<int>(rate);
}

int TWaveFile::_get_SamplesPerBlock() { RaiseNoImplementation("_get_SamplesPerBlock"); }

int TWaveFile::_get_FormatTag() {
  CheckOpened();
  return FmtU16(0);
}

int TWaveFile::_get_BlockAlign() { return FmtU16(12); }

int TWaveFile::ReadBlocks(void*, int) { RaiseNoImplementation("ReadBlocks"); }

uint32_t TWaveFile::AreaU32(int offset) const noexcept { return GetU32(area_ + offset); }

uint32_t TWaveFile::FmtSize() const noexcept {
  return fmt_header_ < 0 ? 0 : AreaU32(fmt_header_ + 4);
}

// Fields beyond a short fmt body read as 0 rather than as a neighbour's bytes.
uint16_t TWaveFile::FmtU16(int offset) const noexcept {
  if (fmt_body_ < 0 || static_cast<uint32_t>(offset) + 2 > FmtSize()) return 0;
  return GetU16(area_ + fmt_body_ + offset);
}

uint32_t TWaveFile::FmtU32(int offset) const noexcept {
  if (fmt_body_ < 0 || static_cast<uint32_t>(offset) + 4 > FmtSize()) return 0;
  return GetU32(area_ + fmt_body_ + offset);
}

uint32_t TWaveFile::FactSize() const noexcept {
  return fact_header_ < 0 ? 0 : AreaU32(fact_header_ + 4);
}

uint32_t TWaveFile::DataChunkSize() const noexcept {
  return data_header_ < 0 ? 0 : AreaU32(data_header_ + 4);
}

void TWaveFile::ReadHeader(int n, int limit) {
  if (area_used_ > limit) RaiseTooLong();
  int64_t got = stream_->Read(area_ + area_used_, n);
  if (got != n) RaiseCorrupted();
  area_used_ += n;
}

void TWaveFile::Open(TDaxStream* stream) {
  if (opened_) throw Exception("already opened");
  TSoundReader::Open(stream);
  std::memset(area_, 0, sizeof area_);
  area_used_ = 0;
  fmt_header_ = fmt_body_ = fact_header_ = fact_body_ = data_header_ = -1;
  data_remaining_ = -1;

  ReadHeader(8, kHeaderAreaSize - 8);
  if (std::memcmp(area_, "RIFF", 4) != 0) throw EWaveFileErrorNotRiff("File is not RIFF");
  ReadHeader(4, kHeaderAreaSize - 4);
  if (std::memcmp(area_ + 8, "WAVE", 4) != 0) throw EWaveFileErrorNotWave("File is not WAVE");

  for (;;) {
    int header = area_used_;
    ReadHeader(8, kHeaderAreaSize - 8);
    const uint8_t* id = area_ + header;
    uint32_t size = AreaU32(header + 4);
    if (std::memcmp(id, "data", 4) == 0) {
      data_header_ = header;
      break;
    }
    bool is_fmt = std::memcmp(id, "fmt ", 4) == 0;
    bool is_fact = std::memcmp(id, "fact", 4) == 0;
    if (size > kMaxChunkSize) RaiseTooLong();
    if (is_fmt || is_fact) {
      if (is_fmt && fmt_header_ >= 0) RaiseCorrupted();
      if (static_cast<uint32_t>(area_used_) + size > kHeaderAreaSize) RaiseTooLong();
      ReadHeader(static_cast<int>(size), kHeaderAreaSize);
      if (is_fmt) {
        fmt_header_ = header;
        fmt_body_ = header + 8;
      } else {
        fact_header_ = header;
        fact_body_ = header + 8;
      }
      // RIFF pads odd chunks to an even length.
      if (size & 1u) stream_->Seek(1, TDaxSeekOrigin::Current);
    } else {
      stream_->Seek(static_cast<int64_t>(size) + (size & 1u), TDaxSeekOrigin::Current);
    }
  }
  if (fmt_header_ < 0) RaiseCorrupted();

  // 0 and 0xFFFFFFFF are what writers leave when they could not seek back;
  // a size past the end is a cut file. All three read to the end.
  uint32_t data_size = DataChunkSize();
  if (data_size != 0 && data_size != 0xFFFFFFFFu) {
    int64_t left = stream_->Size() - stream_->Position();
    if (static_cast<int64_t>(data_size) <= left) data_remaining_ = data_size;
  }
  CheckFormat();
  opened_ = true;
}

void TWaveFile::Close() { opened_ = false; }

int64_t TWaveFile::ReadData(void* destination, int64_t n) {
  if (data_remaining_ >= 0 && n > data_remaining_) n = data_remaining_;
  if (n <= 0) return 0;
  int64_t got = stream_->Read(destination, n);
  if (got > 0 && data_remaining_ >= 0) data_remaining_ -= got;
  return got;
}

// ---------------------------------------------------------------------------
// TVEKFileStream

TVEKFileStream::~TVEKFileStream() { Close(); }

void TVEKFileStream::Open() {
  Close();
  int fd;
  if ((Mode & kModeCreate) == kModeCreate) {
    fd = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC,
                static_cast<mode_t>(Rights));
  } else {
    int access = O_RDONLY;
    if ((Mode & 3u) == 1) access = O_WRONLY;
    if ((Mode & 3u) == 2) access = O_RDWR;
    // A named pipe or device must not hold the reading thread in open;
    // regular files ignore the flag.
    fd = ::open(FileName.c_str(), access | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) DaxCheckFileCreateError(errno, FileName);
  fd_ = fd;
}

void TVEKFileStream::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int64_t TVEKFileStream::Read(void* destination, int64_t n) {
  if (n <= 0) return 0;
  ssize_t got;
  do {
    got = ::read(fd_, destination, static_cast<size_t>(n));
  } while (got < 0 && errno == EINTR);
  if (got < 0) DaxRaiseFileReadError(errno, FileName);
  return got;
}

int64_t TVEKFileStream::Write(const void* source, int64_t n) {
  if (n <= 0) return 0;
  ssize_t put;
  do {
    put = ::write(fd_, source, static_cast<size_t>(n));
  } while (put < 0 && errno == EINTR);
  if (put < 0) DaxCheckFileWriteError(errno, FileName);
  return put;
}

int64_t TVEKFileStream::Seek(int64_t offset, TDaxSeekOrigin origin) {
  int whence = origin == TDaxSeekOrigin::Beginning ? SEEK_SET
               : origin == TDaxSeekOrigin::Current ? SEEK_CUR
                                                   : SEEK_END;
  off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (at < 0) DaxCheckFileSeekError(errno, FileName);
  return at;
}

int64_t TVEKFileStream::Size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return st.st_size;
}

int64_t TVEKFileStream::Position() const {
  if (fd_ < 0) return 0;
  off_t at = ::lseek(fd_, 0, SEEK_CUR);
  return at < 0 ? 0 : at;
}

// ---------------------------------------------------------------------------
// Probe

int VekProbeSoundFile(TDaxStream& stream, bool allow_conversion) {
  int64_t position = stream.Position();
  auto wave = std::make_unique<TWaveFile>();
  int result = 0;
  try {
    wave->Open(&stream);
    int rate = wave->_get_SampleRate();
    bool rate_ok = allow_conversion ? src_is_valid_ratio(rate / 8000.0) != 0 : rate == 8000;
    if (!rate_ok) {
      result = -1;
    } else if (wave->_get_Channels() == 0) {
      result = -2;
    } else {
      result = wave->_get_FormatTag();
    }
  } catch (...) {
    result = 0;
  }
  wave->Close();
  try {
    stream.Seek(position, TDaxSeekOrigin::Beginning);
  } catch (...) {
    result = 0;
  }
  return result;
}

namespace {
std::u16string ExtFileMsg(const std::u16string& name, const char16_t* ending) {
  return u"external file \"" + name + u"\"" + ending;
}
}  // namespace

std::u16string VekExtFileMsgNotFound(const std::u16string& name) {
  return ExtFileMsg(name, u": not found");
}
std::u16string VekExtFileMsgUnknownFormat(const std::u16string& name) {
  return ExtFileMsg(name, u": unknown audio format");
}
std::u16string VekExtFileMsgNotMono(const std::u16string& name) {
  return ExtFileMsg(name, u": not mono");
}
std::u16string VekExtFileMsgRateNot8000(const std::u16string& name) {
  return ExtFileMsg(name, u": sample rate is not 8000");
}

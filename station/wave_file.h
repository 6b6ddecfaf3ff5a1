// Sound files: the reader interface, the RIFF/WAVE chunk walk that keeps the
// small header chunks and stops at the audio data, a stream over a plain
// file descriptor, and the probe that tells which reader a stream needs.
// A reader belongs to one thread; only its abort flag may be set by another.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "foundation/byte_buffers.h"
#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EWaveFileError, Exception);
DAX_DECLARE_EXCEPTION(EWaveFileErrorNotRiff, EWaveFileError);
DAX_DECLARE_EXCEPTION(EWaveFileErrorNotWave, EWaveFileError);
DAX_DECLARE_EXCEPTION(EWaveFileErrorWaveCorrupted, EWaveFileError);
DAX_DECLARE_EXCEPTION(EWaveFileErrorHeaderIsTooLong, EWaveFileError);
DAX_DECLARE_EXCEPTION(EWaveGsmFileError, EWaveFileError);
DAX_DECLARE_EXCEPTION(EWaveGsmFileErrorCorrupted, EWaveGsmFileError);
DAX_DECLARE_EXCEPTION(EWaveGsmFileErrorNoFactChunk, EWaveGsmFileError);
DAX_DECLARE_EXCEPTION(EWaveGsmFileErrorNotGSM, EWaveGsmFileError);
DAX_DECLARE_EXCEPTION(EWaveGsmFileErrorInvalidChannelsNumber, EWaveGsmFileError);
DAX_DECLARE_EXCEPTION(EWaveGsmFileErrorInvalidSampleRate, EWaveGsmFileError);

constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatGsm610 = 49;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

// A reader of blocks of 16-bit samples from a stream it does not own.
class TSoundReader {
 public:
  TSoundReader() = default;
  TSoundReader(const TSoundReader&) = delete;
  TSoundReader& operator=(const TSoundReader&) = delete;
  virtual ~TSoundReader() = default;

  virtual int _get_Channels() = 0;
  virtual int _get_BytesPerSample() = 0;
  virtual int _get_BytesPerBlock() = 0;
  virtual int _get_SampleRate() = 0;
  virtual int _get_SamplesPerBlock() = 0;
  virtual int _get_FormatTag() = 0;
  virtual int _get_BlockAlign() = 0;
  // Validates the header of an opened file; raises on a mismatch.
  virtual void CheckFormat() = 0;
  // Keeps the stream and clears the abort flag; descendants call it first.
  virtual void Open(TDaxStream* stream);
  virtual void Close() = 0;
  // Blocks written to the destination; fewer (0 at the end) when the data
  // ends or the abort flag is set.
  virtual int ReadBlocks(void* destination, int count) = 0;

  // Any thread: makes a running ReadBlocks return early.
  void Abort() noexcept { abort_.store(true, std::memory_order_release); }
  bool Aborted() const noexcept { return abort_.load(std::memory_order_acquire); }
  TDaxStream* Stream() const noexcept { return stream_; }

 protected:
  TDaxStream* stream_ = nullptr;
  std::atomic<bool> abort_{false};
};

// The chunk walk. After Open the stream stands at the first audio byte, and
// ReadData never reads past the data chunk's declared size.
class TWaveFile : public TSoundReader {
 public:
  static constexpr int kHeaderAreaSize = 128;

  TWaveFile() = default;

  int _get_Channels() override;
  int _get_BytesPerSample() override;
  int _get_BytesPerBlock() override;
  int _get_SampleRate() override;
  int _get_SamplesPerBlock() override;
  int _get_FormatTag() override;
  int _get_BlockAlign() override;
  void CheckFormat() override {}
  void Open(TDaxStream* stream) override;
  void Close() override;
  int ReadBlocks(void* destination, int count) override;

  bool Opened() const noexcept { return opened_; }
  // The data chunk's declared size as written.
  uint32_t DataChunkSize() const noexcept;
  // Audio bytes still to be read; negative means "to the end of the stream".
  int64_t DataRemaining() const noexcept { return data_remaining_; }

 protected:
  // The class name in the "no implementation" texts.
  virtual const char* ReaderClassName() const { return "TWaveFile"; }
  [[noreturn]] void RaiseNoImplementation(const char* operation) const;

  uint32_t FmtSize() const noexcept;
  uint16_t FmtU16(int offset) const noexcept;
  uint32_t FmtU32(int offset) const noexcept;
  bool HasFact() const noexcept { return fact_header_ >= 0; }
  uint32_t FactSize() const noexcept;
  uint16_t BitsPerSample() const noexcept { return FmtU16(14); }

  // Reads audio bytes, at most what is left of the data chunk.
  int64_t ReadData(void* destination, int64_t n);

 private:
  void CheckOpened() const;
  // Reads n bytes into the header area; a short read means corruption.
  void ReadHeader(int n, int limit);
  uint32_t AreaU32(int offset) const noexcept;

  uint8_t area_[kHeaderAreaSize] = {};
  int area_used_ = 0;
  int fmt_header_ = -1;  // offsets into the area, -1 when absent
  int fmt_body_ = -1;
  int fact_header_ = -1;
  int fact_body_ = -1;
  int data_header_ = -1;
  int64_t data_remaining_ = -1;
  bool opened_ = false;
};

// A stream over an operating-system file descriptor. Mode: bits 0-1 access
// (0 read, 1 write, 2 both), bits 4-7 the share mode (ignored here), 0xFF00
// in bits 8-15 means create with the rights.
class TVEKFileStream : public TDaxStream {
 public:
  static constexpr uint32_t kModeCreate = 0xFF00;
  static constexpr uint32_t kModeReadDenyWrite = 0x20;

  TVEKFileStream() = default;
  TVEKFileStream(const TVEKFileStream&) = delete;
  TVEKFileStream& operator=(const TVEKFileStream&) = delete;
  ~TVEKFileStream() override;

  std::string FileName;  // system charset
  uint32_t Mode = kModeReadDenyWrite;
  uint32_t Rights = 0644;

  // Raises 'error [%d] of creating file "%s": %s' for creating and opening.
  void Open();
  void Close();
  bool IsOpen() const noexcept { return fd_ >= 0; }
  int Descriptor() const noexcept { return fd_; }

  int64_t Read(void* destination, int64_t n) override;
  int64_t Write(const void* source, int64_t n) override;
  int64_t Seek(int64_t offset, TDaxSeekOrigin origin) override;
  int64_t Size() const override;
  int64_t Position() const override;

 private:
  int fd_ = -1;
};

// 0: not a readable RIFF/WAVE header; -1: the rate is not 8000 (or, with
// conversion allowed, not convertible to 8000); -2: 0 channels; else the
// format tag. The stream position is kept.
int VekProbeSoundFile(TDaxStream& stream, bool allow_conversion);

// "external file \"<name>\"" with its ending, for the probe's users.
std::u16string VekExtFileMsgNotFound(const std::u16string& name);
std::u16string VekExtFileMsgUnknownFormat(const std::u16string& name);
std::u16string VekExtFileMsgNotMono(const std::u16string& name);
std::u16string VekExtFileMsgRateNot8000(const std::u16string& name);

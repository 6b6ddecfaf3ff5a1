#include "station/wave_file_gsm.h"

#include <algorithm>

TWaveFileGsm::TWaveFileGsm() : read_buffer_(new uint8_t[kReadBufferSize]), ring_(kRingSize) {}

int TWaveFileGsm::_get_SamplesPerBlock() { return FmtU16(18); }

void TWaveFileGsm::CheckFormat() {
  if (FmtSize() != 20)
    throw EWaveGsmFileErrorCorrupted("Header of wave gsm 610 file is corrupted");
  if (FmtU16(0) != kWaveFormatGsm610) throw EWaveGsmFileErrorNotGSM("Not GSM format");
  if (FmtU16(2) != 1) throw EWaveGsmFileErrorInvalidChannelsNumber("Not mono sound");
  if (FmtU32(4) != 8000)
    throw EWaveGsmFileErrorInvalidSampleRate("Sample rate is not 8000 Hz");
  if (FmtU16(12) != 65) throw EWaveGsmFileErrorNotGSM("Not GSM format");
  if (FmtU16(16) != 2 || FmtU16(18) != 320)
    throw EWaveGsmFileErrorCorrupted("Unknown format of header of wave gsm 610 file");
  if (!HasFact() || FactSize() != 4)
    throw EWaveGsmFileErrorNoFactChunk("No \"fact\" chunk in wave");
}

void TWaveFileGsm::Open(TDaxStream* stream) {
  TWaveFile::Open(stream);
  eof_ = false;
  ring_.Clear();
}

void TWaveFileGsm::Close() {
  eof_ = false;
  ring_.Clear();
  TWaveFile::Close();
}

int TWaveFileGsm::ReadBlocks(void* destination, int count) {
  auto* out = static_cast<int16_t*>(destination);
  int done = 0;
  while (done < count && !Aborted()) {
    if (!eof_) {
      while (ring_.FreeSpace() >= kReadBufferSize) {
        int64_t got = ReadData(read_buffer_.get(), kReadBufferSize);
        if (got <= 0) {
          eof_ = true;
          break;
        }
        ring_.Write(read_buffer_.get(), static_cast<int>(got));
      }
    }
    int blocks = std::min({ring_.Count() / static_cast<int>(kGsmBlockBytes), count - done,
                           kBlocksPerRead});
    if (blocks == 0) return done;
    for (int i = 0; i < blocks; ++i) {
      if (Aborted()) return done;
      ring_.Read(read_buffer_.get(), static_cast<int>(kGsmBlockBytes));
      if (codec_.Decode(read_buffer_.get(), out + static_cast<size_t>(done) * kGsmBlockSamples))
        ++done;
    }
  }
  return done;
}

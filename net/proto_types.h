// The protocol thread's vocabulary: its states, the fixed numbers of the
// wire (timeouts, packet sizes, the 40-ms grid), the GSM silence block that
// pads the last packet of a transmission, the statistics of one reception or
// transmission and the seam through which the thread feeds a recorder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/types_base.h"

enum TVEKProtocolState : uint8_t {
  PROTO_STATE_DISCONNECTED = 0,
  PROTO_STATE_DISCONNECTING = 1,
  PROTO_STATE_CONNECTING = 2,
  PROTO_STATE_HANDSHAKING = 3,
  PROTO_STATE_LOGIN_P1 = 4,
  PROTO_STATE_LOGIN_P2 = 5,
  PROTO_STATE_LOGIN_SEQ = 6,
  PROTO_STATE_RX = 7,
  PROTO_STATE_TX_REQ_WAITS_APPROVE = 8,
  PROTO_STATE_TX = 9,
  PROTO_STATE_IDLE = 10,
};

// "PROTO_STATE_IDLE" and so on; "" outside the enumeration.
std::u16string VekProtocolStateName(uint8_t state);

// Silence on the link for this long ends the session.
inline constexpr uint32_t kVekProtoReceiveTimeoutMs = 8000;
// Longest line of the handshake answer.
inline constexpr int32_t kVekAnswerLineMax = 16384;
// The client version offered unless the configuration pretends another.
inline constexpr int32_t kVekDefaultClientVersion = 2014004;
// Newest client version when line 1 of the answer is no number.
inline constexpr int32_t kVekUnknownNewestVersion = 9999999;

// The voice grid: one GSM block per 40 ms, five to a full packet.
inline constexpr uint32_t kVekFrameMs = 40;
inline constexpr int kVekBlocksPerPacket = 5;
inline constexpr int kVekGsmBlockBytes = 65;
inline constexpr int kVekPcmBlockBytes = 640;
inline constexpr int kVekTxHeaderBytes = 5;  // "TX1" CR LF
inline constexpr int kVekTxPacketBytes = kVekTxHeaderBytes + kVekBlocksPerPacket * kVekGsmBlockBytes;  // 330
inline constexpr int kVekTxShortPacketBytes = kVekTxHeaderBytes + kVekGsmBlockBytes;  // 70
// Sound payloads after the marker: talker index + 1 and the GSM blocks.
inline constexpr int kVekSoundPayloadBytes = 2 + kVekBlocksPerPacket * kVekGsmBlockBytes;  // 327
inline constexpr int kVekShortSoundPayloadBytes = 2 + kVekGsmBlockBytes;  // 67
// Blocks taken from the captured-voice ring at once.
inline constexpr int kVekTxBatchBlocks = 64;
// A repeated channel request waits at least this long after the previous.
inline constexpr uint32_t kVekTxRequestRepeatMs = 500;

// The GSM encoding of 40 ms of silence in the WAV49 layout.
extern const uint8_t VekGsmSilenceBlock[kVekGsmBlockBytes];

// Pre-capture setting (ms) in blocks: (clamped 0..1000 + 20) div 40.
int VekPreCaptureBlocks(int32_t preCapturedTimeMs);

// The numbers of TVEKProtocol::GetRxStats.
struct TVEKProtoRxStats {
  int32_t Duration = 0;  // end - start, ms
  int32_t Audio = 0;     // frames x 40 ms
  int32_t Passes = 0;
  int32_t Waits = 0;
};

// What the protocol thread tells the recorder. Any member may be left empty,
// so the protocol works without a recorder.
struct TVEKProtoRecorderHooks {
  // A stream of the given direction (frd_SERVER or frd_RADIO) with the
  // speaker's band text, description, name, city and country.
  std::function<void(uint8_t direction, const std::u16string& band, const std::u16string& description,
                     const std::u16string& name, const std::u16string& city,
                     const std::u16string& country)>
      Start;
  // One 640-byte PCM block; the recorder copies it.
  std::function<void(const void* pcm, int bytes)> Data;
  std::function<void()> Stop;
};

#include "net/exception.h"

// A read cut short because the link is being stopped: what it read is never
// used. The protocol thread catches it and lets its requests take over.
DAX_DECLARE_EXCEPTION(EVEKErrorProtoStopped, EVEKErrorConnection);

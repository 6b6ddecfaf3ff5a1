// The channel request, transmitted voice and the client's command lines.
#include <cstring>

#include "foundation/charset.h"
#include "foundation/tags.h"
#include "foundation/types.h"
#include "net/link_attr.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "station/gsmprocessor.h"

void TVEKProtocol::ReturnBatch() {
  if (tx_batch_count_ > 0) pool_->Buffers().PushMany(tx_batch_, tx_batch_count_);
  tx_batch_count_ = 0;
  tx_batch_index_ = 0;
}

void TVEKProtocol::FlushCaptureBuffer() { pool_->Buffers().MoveAllFrom(*captured_); }

void TVEKProtocol::DropCaptured(bool keepPreCapture) {
  ReturnBatch();
  tx_blocks_in_packet_ = 0;
  tx_timing_restart_ = false;
  const int keep = keepPreCapture ? pre_capture_blocks_ : 0;
  const int drop = captured_->Count() - keep;
  if (drop > 0) pool_->Buffers().MoveFrom(*captured_, drop);
}

void TVEKProtocol::SendRxState() {
  const uint8_t status = status_.load();
  std::string line;
  if (status != vs_Available) line = "ST:" + std::string(1, static_cast<char>('0' + status)) + "\r\n";
  line += "RX0\r\n";
  SendText(line);
  FlushOutput();
  AfterSend();
}

void TVEKProtocol::SendTxRequest() {
  TxDataState = 0;
  switch (State()) {
    case PROTO_STATE_IDLE: {
      DropCaptured(true);
      tx_timing_restart_ = true;
      tx_blocks_in_packet_ = 0;
      stat_start_ = Now();
      stat_frames_ = 0;
      stat_passes_ = 0;
      stat_waits_ = 0;
      const TVEKLoginInfo* info = link_attr_ ? link_attr_->LoginInfo() : nullptr;
      if (Recorder.Start && info) {
        std::u16string band;
        try {
          band = info->GetBandText();
        } catch (const std::exception&) {
        }
        Recorder.Start(frd_RADIO, band, info->Account().Description, info->NameText(), info->PlaceText(),
                       info->Account().Country);
      }
      SetState(PROTO_STATE_TX_REQ_WAITS_APPROVE);
      last_tx0_ = Now();
      SendText("TX0\r\n");
      FlushOutput();
      AfterSend();
      return;
    }
    case PROTO_STATE_RX:
      // The reception ends properly, so the player stops and PTT drops.
      EndRx();
      DropTxRequest();
      return;
    case PROTO_STATE_TX:
      // The server must get the channel back, as at a normal end.
      FinishTx();
      if (OnTxRejected) OnTxRejected();
      return;
    case PROTO_STATE_TX_REQ_WAITS_APPROVE:
      DropTxRequest();
      return;
    default:
      // Not logged in: nothing to give back, and the link state stays.
      DropCaptured(true);
      if (OnTxRejected) OnTxRejected();
      return;
  }
}

void TVEKProtocol::DropTxRequest() {
  SetState(PROTO_STATE_IDLE);
  DropCaptured(true);
  RecorderStop();
  if (OnTxRejected) OnTxRejected();
}

void TVEKProtocol::FinishTx() {
  DropCaptured(true);
  RecorderStop();
  SetState(PROTO_STATE_IDLE);
  SendRxState();
}

void TVEKProtocol::EndTxByServer() {
  SetState(PROTO_STATE_IDLE);
  stat_end_ = last_received_;
  DropCaptured(false);
  RecorderStop();
  if (OnTxAbortedByServer) OnTxAbortedByServer();
}

void TVEKProtocol::SendPacket(int blocks) {
  SendBytes(tx_packet_, kVekTxHeaderBytes + blocks * kVekGsmBlockBytes);
  FlushOutput();
  AfterSend();
  last_received_ = Now();
  tx_blocks_in_packet_ = 0;
}

void TVEKProtocol::TxPacing() {
  const uint32_t now = Now();
  const bool shortFrames = tx_packet_[2] == '8';
  if (tx_timing_restart_) {
    if (captured_->Count() == 0) {
      // Capture ended before a single block arrived: nothing will come.
      if (TxDataState.load() == 1) {
        TxDataState = 2;
        stat_end_ = now;
        if (OnTxDataEnded) OnTxDataEnded();
      }
      return;
    }
    tx_clock_ = now - (shortFrames ? kVekFrameMs : kVekFrameMs * kVekBlocksPerPacket);
    tx_timing_restart_ = false;
  }
  const int32_t elapsed = static_cast<int32_t>(now - tx_clock_);
  if (elapsed < 0) return;
  const int due = elapsed / static_cast<int32_t>(kVekFrameMs);
  int done = 0;
  while (done < due) {
    if (tx_batch_index_ >= tx_batch_count_) {
      ReturnBatch();
      tx_batch_count_ = captured_->PopMany(tx_batch_, kVekTxBatchBlocks);
      if (tx_batch_count_ == 0) break;
    }
    auto* pcm = static_cast<int16_t*>(tx_batch_[tx_batch_index_++]);
    encoder_->Encode(pcm, tx_packet_ + kVekTxHeaderBytes + tx_blocks_in_packet_ * kVekGsmBlockBytes);
    if (Recorder.Data) Recorder.Data(pcm, kVekPcmBlockBytes);
    ++tx_blocks_in_packet_;
    ++stat_frames_;
    ++done;
    if (shortFrames)
      SendPacket(1);
    else if (tx_blocks_in_packet_ == kVekBlocksPerPacket)
      SendPacket(kVekBlocksPerPacket);
  }
  if (tx_batch_index_ >= tx_batch_count_ && captured_->Count() == 0 && TxDataState.load() == 1) {
    if (!shortFrames) {
      while (done < due && tx_blocks_in_packet_ > 0) {
        std::memcpy(tx_packet_ + kVekTxHeaderBytes + tx_blocks_in_packet_ * kVekGsmBlockBytes,
                    VekGsmSilenceBlock, kVekGsmBlockBytes);
        ++tx_blocks_in_packet_;
        ++stat_frames_;
        ++done;
        if (tx_blocks_in_packet_ == kVekBlocksPerPacket) SendPacket(kVekBlocksPerPacket);
      }
    }
    if (tx_blocks_in_packet_ == 0) {
      TxDataState = 2;
      stat_end_ = now;
      if (OnTxDataEnded) OnTxDataEnded();
    }
  }
  tx_clock_ += static_cast<uint32_t>(done) * kVekFrameMs;
}

uint32_t TVEKProtocol::TxWaitMs() {
  if (tx_timing_restart_) return kVekFrameMs;
  const int32_t elapsed = static_cast<int32_t>(Now() - tx_clock_);
  if (elapsed < 0) return static_cast<uint32_t>(-elapsed);
  return kVekFrameMs - static_cast<uint32_t>(elapsed) % kVekFrameMs;
}

void TVEKProtocol::SendQueuedMessages() {
  while (outgoing_messages_.Count() > 0) SendTextMessage(outgoing_messages_.Pop());
}

void TVEKProtocol::SendTextMessage(std::unique_ptr<TVEKMessage> message) {
  if (!message) {
    if (OnError) OnError(u"not assigned message object");
    return;
  }
  const std::string receiver = DaxTrim(message->ReceiverId);
  if (message->Private && receiver.empty()) {
    if (OnError) OnError(u"Private message without recevier id");
    return;
  }
  if (!message->Private && !receiver.empty()) {
    if (OnError) OnError(u"Public message with receiver id");
    return;
  }
  const bool utf8 = (sef_.load() & VEK_EXT_UTF8) != 0;
  std::string text, textUtf8;
  for (int i = 0; i < message->GetLineCount(); ++i) {
    if (i > 0) {
      text += "\r\n";
      textUtf8 += "\r\n";
    }
    text += converter_.UnicodeToAnsi(message->GetLine(i));
    if (utf8) textUtf8 += DaxUnicodeToUtf8(message->GetLine(i));
  }
  text = DaxTrimRight(text);
  textUtf8 = DaxTrimRight(textUtf8);
  std::string line;
  if (utf8)
    line = "TME:" + DaxHexLenField(receiver) + DaxHexLenField(text) + DaxHexLenField(textUtf8) + "\r\n";
  else
    line = "TM:" + VekTagBuild("ID", receiver) + VekTagBuild("MS", text) + "\r\n";
  SendText(line);
  FlushOutput();
  AfterSend();
}

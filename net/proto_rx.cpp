// The server's markers and received voice.
#include <cstring>
#include <string>

#include "foundation/charset.h"
#include "net/exception.h"
#include "net/link_attr.h"
#include "net/proto.h"
#include "station/gsmprocessor.h"

namespace {

std::u16string Decimal(int64_t v) {
  const std::string s = std::to_string(v);
  return std::u16string(s.begin(), s.end());
}

}  // namespace

void TVEKProtocol::SendMarkerAck() {
  try {
    conn_->WriteBuffer("P\r\n", 3);
    if (conn_->Stopping) throw EVEKErrorProtoStopped("write stopped");
    conn_->Flush();
  } catch (const EVEKErrorProtoStopped&) {
    throw;
  } catch (...) {
    if (conn_->IsConnected()) conn_->Disconnect();
    ResetSession();
    throw;
  }
  AfterSend();
}

void TVEKProtocol::PublishClientList() {
  client_list_queue_.Push(clients_);
  if (OnClientList) OnClientList();
}

void TVEKProtocol::UnknownMarker(uint8_t marker) {
  try {
    unknown_markers_.PushOne(reinterpret_cast<void*>(static_cast<uintptr_t>(marker)));
  } catch (const EPtrBufferErrorOverflow&) {
    // The engine has stopped reading them; the newest is dropped.
  }
  if (OnUnknownMarker) OnUnknownMarker();
  throw Exception("Unknown marker: " + std::to_string(marker));
}

void TVEKProtocol::ProcessMarker(uint8_t marker) {
  last_received_ = Now();
  const uint32_t sef = sef_.load();
  const uint8_t format = static_cast<uint8_t>(sef & VEK_EXT_LIST_FORMAT_MASK);
  bool ack = true;
  switch (marker) {
    case 0x00:
      KeepAliveMarker();
      break;
    case 0x01: {
      uint8_t value[2];
      ReadPayload(value, 2);
      if (State() == PROTO_STATE_TX_REQ_WAITS_APPROVE) {
        SetState(PROTO_STATE_TX);
        try {
          if (OnTxApproved) OnTxApproved();
        } catch (const std::exception& e) {
          if (OnError) OnError(DaxHookSysToUnicode(e.what()));
          // Approved by the server: give the channel back properly; the
          // engine learns that its request came to nothing.
          FinishTx();
          if (OnTxRejected) OnTxRejected();
        }
      }
      break;
    }
    case 0x02:
      HandleSound(false);
      break;
    case 0x81:
      HandleSound(true);
      break;
    case 0x04:
    case 0x85: {
      auto message = VekReadTextMessage(*conn_, converter_, marker == 0x85, clients_);
      if (conn_->Stopping) throw EVEKErrorProtoStopped("read stopped");
      if (message) {
        received_messages_.Push(std::move(message));
        if (OnMessage) OnMessage();
      }
      break;
    }
    case 0x05: {
      TVEKNetworksArray list;
      conn_->Params.ReadTimeout = static_cast<int32_t>(ReceiveTimeoutMs.load());
      try {
        VekReadNetworks(*conn_, converter_, (sef & VEK_EXT_UTF8) != 0, list);
      } catch (const EVEKErrorEmptyNetworkList& e) {
        if (conn_->Stopping) throw EVEKErrorProtoStopped("read stopped");
        if (State() != PROTO_STATE_LOGIN_SEQ) throw;
        ReportError(u"empty networks list", DaxHookSysToUnicode(e.what()));
        return;
      } catch (const EVEKErrorInvalidServerResponse&) {
        if (conn_->Stopping) throw EVEKErrorProtoStopped("read stopped");
        throw;
      }
      if (conn_->Stopping) throw EVEKErrorProtoStopped("read stopped");
      {
        std::lock_guard<std::mutex> g(data_lock_);
        networks_ = std::move(list);
      }
      if (OnNetworks) OnNetworks(Now());
      if (State() == PROTO_STATE_LOGIN_SEQ) CompleteLogin();
      break;
    }
    case 0x80:
      if (format != ProtoListFormat_NOLIST) UnknownMarker(marker);
      if (OnKeepAlive) OnKeepAlive();
      break;
    case 0x88:
      if (!(sef & VEK_EXT_UTF8)) UnknownMarker(marker);
      ReadListMarker(marker);
      break;
    case 0x89:
      if (!(sef & VEK_EXT_SOUND_ACK)) UnknownMarker(marker);
      if (OnKeepAlive) OnKeepAlive();
      ack = false;
      break;
    case 0x8A:
      if (!(sef & VEK_EXT_UTF8)) UnknownMarker(marker);
      ReadListMarker(marker);
      break;
    case 0x03: case 0x06: case 0x07: case 0x08: case 0x09: case 0x0A: case 0x0B:
    case 0x82: case 0x83: case 0x84: case 0x86: case 0x87: case 0x8B:
      ReadListMarker(marker);
      break;
    default:
      UnknownMarker(marker);
  }
  if (ack) SendMarkerAck();
}

void TVEKProtocol::ReadListMarker(uint8_t marker) {
  TVEKConnection& c = *conn_;
  TAnsiUnicodeConverter& cv = converter_;
  auto stopped = [&] {
    if (c.Stopping) throw EVEKErrorProtoStopped("read stopped");
  };
  auto store = [&](auto& field, auto&& list) {
    stopped();
    std::lock_guard<std::mutex> g(data_lock_);
    field = std::move(list);
  };
  switch (marker) {
    case 0x03: case 0x82: case 0x83: case 0x84: {
      TVEKClientsArray list;
      if (marker == 0x84) list = clients_;
      try {
        switch (marker) {
          case 0x03: VekReadClientListTags(c, cv, list); break;
          case 0x82: VekReadClientCount(c, list); break;
          case 0x83: VekReadClientListTlv(c, cv, list); break;
          default: VekReadClientListDiff(c, cv, list); break;
        }
      } catch (...) {
        // Changes applied before a failing line stay, unpublished.
        if (marker == 0x84 && !c.Stopping) {
          std::lock_guard<std::mutex> g(data_lock_);
          clients_ = std::move(list);
        }
        throw;
      }
      store(clients_, std::move(list));
      PublishClientList();
      break;
    }
    case 0x08: case 0x86: {
      TVEKBlockMuteArray list;
      if (marker == 0x08) VekReadBlockMuteListTags(c, cv, list); else VekReadBlockMuteListTlv(c, cv, list);
      store(banned_, std::move(list));
      if (OnBannedList) OnBannedList(Now());
      break;
    }
    case 0x09: case 0x87: {
      TVEKBlockMuteArray list;
      if (marker == 0x09) VekReadBlockMuteListTags(c, cv, list); else VekReadBlockMuteListTlv(c, cv, list);
      store(muted_, std::move(list));
      if (OnMutedList) OnMutedList(Now());
      break;
    }
    case 0x06: case 0x88: {
      TVEKAdminsArray list;
      if (marker == 0x06) VekReadAdminListTags(c, cv, list); else VekReadAdminListTlv(c, cv, list);
      store(admins_, std::move(list));
      if (OnAdminsList) OnAdminsList(Now());
      break;
    }
    case 0x07: case 0x8B: {
      TVEKRightsArray list;
      if (marker == 0x07) VekReadAccessListTags(c, cv, list); else VekReadAccessListTlv(c, cv, list);
      store(access_, std::move(list));
      if (OnAccessList) OnAccessList(Now());
      break;
    }
    case 0x0A: {
      TVEKModesArray list;
      VekReadAccessModes(c, list);
      store(modes_, std::move(list));
      if (OnModes) OnModes(Now());
      break;
    }
    case 0x0B: case 0x8A: {
      TVEKNoticesArray list;
      VekReadNotices(c, cv, marker == 0x8A, list);
      store(notices_, std::move(list));
      if (OnNotices) OnNotices(Now());
      break;
    }
    default:
      UnknownMarker(marker);
  }
}

void TVEKProtocol::KeepAliveMarker() {
  switch (State()) {
    case PROTO_STATE_LOGIN_SEQ:
    case PROTO_STATE_IDLE:
      if (OnKeepAlive) OnKeepAlive();
      break;
    case PROTO_STATE_RX:
      EndRx();
      break;
    case PROTO_STATE_TX_REQ_WAITS_APPROVE: {
      const uint32_t since = Now() - last_tx0_;
      if (since < kVekTxRequestRepeatMs) {
        if (OnKeepAlive) OnKeepAlive();
        break;
      }
      // Stay on the grid of the first request: after a gap in keep-alives
      // one request follows, not a burst.
      last_tx0_ += (since / kVekTxRequestRepeatMs) * kVekTxRequestRepeatMs;
      if (tx_timing_restart_) {
        DropCaptured(true);
        // Still no voice sent: the clock starts with the first block, as
        // after the first request, never from the previous transmission's.
        tx_timing_restart_ = true;
      }
      if (OnTxRequestRepeated) OnTxRequestRepeated();
      SendText("TX0\r\n");
      FlushOutput();
      AfterSend();
      break;
    }
    case PROTO_STATE_TX:
      EndTxByServer();
      break;
    default:
      break;
  }
}

TVEKClientRec TVEKProtocol::TalkerRecord(uint16_t wireIndex) {
  const uint8_t format = static_cast<uint8_t>(sef_.load() & VEK_EXT_LIST_FORMAT_MASK);
  if ((format == ProtoListFormat_VEK || format == ProtoListFormat_DIFF) && wireIndex >= 1 &&
      wireIndex <= clients_.size())
    return clients_[wireIndex - 1u];
  return TVEKClientRec();
}

void TVEKProtocol::HandleSound(bool isShort) {
  const int frames = isShort ? 1 : kVekBlocksPerPacket;
  ReadPayload(sound_buffer_, isShort ? kVekShortSoundPayloadBytes : kVekSoundPayloadBytes);
  arrival_ = Now();
  if (!receive_on_) return;
  const TVEKClientRec talker = TalkerRecord(static_cast<uint16_t>((sound_buffer_[0] << 8) | sound_buffer_[1]));
  switch (State()) {
    case PROTO_STATE_RX:
      if (talker.ID != talker_id_) {
        EndRx();
        StartRx(talker);
      }
      break;
    case PROTO_STATE_TX_REQ_WAITS_APPROVE:
      DropTxRequest();
      StartRx(talker);
      break;
    case PROTO_STATE_TX:
      EndTxByServer();
      StartRx(talker);
      break;
    case PROTO_STATE_IDLE:
      StartRx(talker);
      break;
    default:
      return;
  }
  stat_frames_ += frames;
  const uint8_t* gsm = sound_buffer_ + 2;
  if (!rx_align_enabled_) {
    Decode(gsm, frames);
    return;
  }
  if (skip_count_ <= 0) {
    const uint32_t elapsed = arrival_ - stat_start_.load();
    // A run of drops has just ended: what was dropped took its own time on
    // the wire too, so audio time starts again from the elapsed time.
    if (skipping_) {
      skipping_ = false;
      if (audio_time_ < elapsed) audio_time_ = elapsed;
    }
    if (audio_time_ < elapsed && elapsed - audio_time_ >= rx_align_time_) {
      skip_count_ = static_cast<int32_t>((elapsed - audio_time_) / kVekFrameMs);
      audio_time_ += static_cast<uint32_t>(skip_count_) * kVekFrameMs;
      skipping_ = true;
      if (OnRxAlignSkipped) OnRxAlignSkipped(static_cast<uint32_t>(skip_count_) * kVekFrameMs);
    }
  }
  if (skip_count_ < 1) {
    audio_time_ += static_cast<uint32_t>(frames) * kVekFrameMs;
    Decode(gsm, frames);
  } else {
    skip_count_ -= frames;
  }
}

void TVEKProtocol::StartRx(const TVEKClientRec& talker) {
  SetState(PROTO_STATE_RX);
  audio_time_ = 0;
  skip_count_ = 0;
  skipping_ = false;
  stat_start_ = arrival_;
  stat_end_ = arrival_;
  stat_frames_ = 0;
  stat_passes_ = 0;
  stat_waits_ = 0;
  talker_id_ = talker.ID;
  if (Recorder.Start) Recorder.Start(frd_SERVER, talker.BC, talker.DS, talker.ON, talker.CT, talker.NN);
  if (player_queue_->HasRoom()) player_queue_->PutPlayStart(talker);
  if (OnPlayStart) OnPlayStart();
}

void TVEKProtocol::EndRx() {
  SetState(PROTO_STATE_IDLE);
  talker_id_.clear();
  QueuePlayStop();
  RecorderStop();
  if (OnPlayStop) OnPlayStop();
}

void TVEKProtocol::QueuePlayStop() {
  RecorderStop();
  stat_end_ = Now();
  const TVEKProtoRxStats s = GetRxStats();
  if (!player_queue_->PutPlayStop(s.Duration, s.Audio, s.Passes, s.Waits))
    throw Exception("Command queue overflowed");
}

void TVEKProtocol::Decode(const uint8_t* gsm, int blocks) {
  void* pcm[kVekBlocksPerPacket];
  const int got = pool_->Buffers().PopMany(pcm, blocks);
  int used = 0;
  int bad = 0;
  for (int g = 0; g < blocks && used < got; ++g) {
    auto* samples = static_cast<int16_t*>(pcm[used]);
    if (!decoder_->Decode(gsm + g * kVekGsmBlockBytes, samples)) {
      ++bad;
      continue;
    }
    if (Recorder.Data) Recorder.Data(samples, kVekPcmBlockBytes);
    // A block the full queue refuses is reused for the next GSM block.
    if (player_queue_->HasRoom() && player_queue_->PutPlayData(samples)) {
      ++used;
      if (OnPlayData) OnPlayData();
    }
  }
  if (used < got) pool_->Buffers().PushMany(pcm + used, got - used);
  if (bad > 0) LogText(u"Bad GSM blocks: " + Decimal(bad));
  if (got < blocks) {
    if (!OnPoolUnderflow) throw Exception("Pool of buffers underflow {PROTO/1}");
    OnPoolUnderflow();
  }
}

// The protocol thread: owns one connection to a VEK server and everything on
// it (connect, handshake and versioned login, the server's markers, received
// voice, the channel request and transmitted voice, text messages). Other
// threads set one-byte requests and wake the thread; it reports through the
// On* callbacks (run on the protocol thread; set them before the first
// request) and the queues. The bodies are spread over proto.cpp (loop,
// requests, disconnect path), proto_login.cpp, proto_rx.cpp and
// proto_tx.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/ansi_unicode_converter.h"
#include "foundation/buffer_ptr.h"
#include "foundation/byte_buffers.h"
#include "foundation/fifo_ts.h"
#include "foundation/pool_buffers.h"
#include "foundation/setup_data.h"
#include "foundation/thread.h"
#include "foundation/types_base.h"
#include "net/clq.h"
#include "net/conn.h"
#include "net/message.h"
#include "net/mq.h"
#include "net/proto_lists.h"
#include "net/proto_types.h"
#include "net/proto_versions.h"
#include "net/qflat.h"

class TGSM49Processor;
class TVEKConnectionMaker;
class TVEKLinkAttr;
class TVEKServer;

class TVEKProtocol : public TDaxThread {
 public:
  using TEvent = std::function<void()>;
  using TTextEvent = std::function<void(const std::u16string& text)>;
  using TTimeEvent = std::function<void(uint32_t tick)>;

  // Starts the thread at once, in PROTO_STATE_DISCONNECTED. The ring, pool,
  // queue and maker are not owned and must outlive the thread. A given
  // connection replaces the maker's (tests, fuzzing); the maker may then be
  // null.
  TVEKProtocol(TDaxBufferPtr* captured, TDaxPoolBuffers* pool, TVEKQueueFlat* playerQueue,
               const TVEKInternetParameters& internet, const TVEKServerParameters& server,
               TVEKConnectionMaker* maker, const TVEKAudioParams& audio,
               std::unique_ptr<TVEKConnection> connection = nullptr);
  ~TVEKProtocol() override;

  // ----- settings (written by the engine before a connect request)
  void SetLinkAttr(TVEKLinkAttr* linkAttr);
  TVEKLinkAttr* LinkAttr() const { return link_attr_; }
  std::atomic<int32_t> ClientVersion{kVekDefaultClientVersion};
  std::u16string TargetHost;
  int32_t TargetPort = 0;
  uint8_t TargetUseProxy = 0;  // VEK_USE_PROXY_*
  std::u16string TargetNetwork;
  // 0 capturing, 1 capture ended (engine), 2 all sent (thread).
  std::atomic<uint8_t> TxDataState{0};
  // The recorder; members may stay empty. Set before the first connect.
  TVEKProtoRecorderHooks Recorder;
  // Seams for time: the clock every interval is measured on, and the span
  // of silence that ends a session.
  std::function<uint32_t()> Clock;
  std::atomic<uint32_t> ReceiveTimeoutMs{kVekProtoReceiveTimeoutMs};

  // ----- requests (any thread; each returns at once)
  // Raises "connect attributes server not provided" / "server not provided".
  // Outside DISCONNECTED the request waits until the link is down.
  void RequestConnect();
  void RequestDisconnect();
  void RequestTX();
  void RequestStopTX();
  void EnableReceive();
  void DisableReceive();
  void SetStatus(uint8_t status);
  void QueueTextMessage(std::unique_ptr<TVEKMessage> message);
  void Abort();
  void Stop();
  // Returns the blocks of the captured-voice ring to the pool.
  void FlushCaptureBuffer();
  // Withdraws a connect request the thread has not taken yet; false when
  // there was none (or it is already being served).
  bool WithdrawConnect();
  // Whether a link exists or is being made: a state other than DISCONNECTED
  // or a connect request, taken or not.
  bool HasLinkOrAttempt() const;
  // Zeroes the five statistics of the last reception or transmission.
  void ResetStats();

  // ----- results
  std::unique_ptr<TVEKMessage> PopMessage() { return received_messages_.Pop(); }
  bool PopUnknownMarker(uint8_t& marker);
  bool PopLogLine(std::u16string& text) { return log_fifo_.Pop(text); }
  std::u16string GetNetworkName();
  std::u16string GetPeerIP();
  TVEKProtoRxStats GetRxStats() const;
  TVEKClientListQueue& ClientListQueue() { return client_list_queue_; }

  uint8_t State() const { return state_.load(std::memory_order_acquire); }
  bool IsLoggedIn() const { return State() > PROTO_STATE_LOGIN_SEQ; }
  bool Started() const { return started_.load(); }
  bool ReceiveEnabled() const { return receive_on_.load(); }
  uint8_t Status() const { return status_.load(); }
  int PreCaptureBlocks() const { return pre_capture_blocks_; }

  // Login results; copies under the thread's data lock.
  std::u16string ServerMessage() const;
  std::string RawServerMessage() const;
  std::u16string CurrentNetwork() const;
  std::u16string OwnClientId() const;
  std::string HandshakeAnswer() const;
  uint8_t Privilege() const { return privilege_.load(); }
  uint32_t ServerFlags() const { return sef_.load(); }
  int32_t NewestClientVersion() const { return newest_version_.load(); }
  int32_t ServerVersion() const { return server_version_.load(); }
  char PacketHeaderDigit() const { return static_cast<char>(tx_packet_[2]); }
  TVekProtoClass ProtoClass() const { return proto_class_.load(); }

  // The lists, copied under the thread's data lock.
  TVEKClientsArray Clients() const;
  std::vector<std::u16string> Networks() const;
  TVEKBlockMuteArray BannedList() const;
  TVEKBlockMuteArray MutedList() const;
  TVEKAdminsArray AdminList() const;
  TVEKRightsArray AccessList() const;
  TVEKModesArray AccessModes() const;
  TVEKNoticesArray Notices() const;

  // ----- events
  TEvent OnLogText;
  TTextEvent OnError;
  TTextEvent OnThreadError;
  std::function<void(uint8_t kind, const std::u16string& host, int32_t port)> OnProxyConnecting;
  TEvent OnProxyConnected;
  std::function<void(uint8_t code, const std::u16string& text)> OnProxyError;
  std::function<void(const std::u16string& host, int32_t port)> OnServerConnecting;
  TEvent OnServerConnected;
  TTextEvent OnServerConnectError;
  std::function<void(const std::u16string& message, const std::u16string& context)> OnProtocolError;
  std::function<void(const std::u16string& passwordSent, const std::string& serverMessage)> OnLoginWrong;
  TTextEvent OnLoginBlocked;
  TTextEvent OnLoginError;
  TEvent OnPeerDisconnected;
  TEvent OnDisconnecting;
  TEvent OnDisconnected;
  std::function<void(int32_t version, const std::u16string& text)> OnHandshakeRequest;
  std::function<void(int32_t newestVersion, int32_t serverVersion, const std::u16string& text)> OnHandshaked;
  TEvent OnLoginPhase1, OnLoginPhase2, OnLoginPhase3;
  TEvent OnLoggedInPhase1, OnLoggedInPhase2, OnLoggedInPhase3;
  TEvent OnInitiated;
  TEvent OnUnknownMarker;
  TEvent OnClientList, OnPlayStart, OnPlayData, OnPlayStop;
  TTimeEvent OnBannedList, OnMutedList, OnAdminsList, OnAccessList, OnModes, OnNotices, OnNetworks;
  TEvent OnKeepAlive;
  TEvent OnAfterSend;
  TEvent OnTxRequestRepeated;
  TEvent OnTxApproved, OnTxRejected, OnTxAbortedByServer, OnTxDataEnded;
  TEvent OnRxAborted;
  std::function<void(uint32_t ms)> OnRxAlignSkipped;
  TEvent OnMessage;
  TEvent OnServerTimeout;
  TEvent OnPoolUnderflow;

  // ----- for the per-version objects
  void SendText(const std::string& text);
  void SendBytes(const void* data, int32_t length);
  void FlushOutput();
  void AfterSend() {
    if (OnAfterSend) OnAfterSend();
  }
  TVEKServer* ServerEntry() const;
  void SetRawServerMessage(const std::string& raw);

 protected:
  void Execute() override;

 private:
  enum TStep : uint8_t { step_Wait, step_Continue };
  enum TRequest : int {
    req_StopTX, req_TX, req_Messages, req_Disconnect, req_Status, req_Connect, req_ReceiveOn,
    req_ReceiveOff, req_Count
  };

  uint32_t Now() const { return Clock ? Clock() : 0; }
  void SetState(uint8_t s) { state_.store(s, std::memory_order_release); }
  void SetRequest(TRequest r);
  bool TakeRequest(TRequest r);
  bool AnyRequest() const;
  void HandleRequests();
  void RunPass();
  TStep StateStep();
  TStep LoggedInStep();
  void WaitAfterStep();
  void StepDisconnecting(bool withEvent);
  void CloseConnection();
  void ResetSession();
  void HandleDisconnectRequest();
  void ReportError(const std::u16string& message, const std::u16string& context);
  void ThreadError(const std::u16string& text);
  void LogText(const std::u16string& text);
  void InstallForwarders();
  // Wakes the thread from any thread, also out of a blocking connect.
  void WakeThread();
  void StopConnectionFromOutside();

  // proto_login.cpp
  TStep StepConnecting();
  TStep StepHandshaking();
  TStep StepLoginP1();
  TStep StepLoginP2();
  void ParseLoginAnswer(const std::string& line);
  void ReadAnswerLine(std::string& line, int32_t maxLength);
  void CompleteLogin();
  std::u16string ServerText(const std::string& bytes);
  std::u16string ServerOrUtf8(const std::string& bytes);

  // proto_rx.cpp
  void ProcessMarker(uint8_t marker);
  void SendMarkerAck();
  void UnknownMarker(uint8_t marker);
  void KeepAliveMarker();
  void HandleSound(bool isShort);
  TVEKClientRec TalkerRecord(uint16_t wireIndex);
  void StartRx(const TVEKClientRec& talker);
  void EndRx();
  void QueuePlayStop();
  void Decode(const uint8_t* gsm, int blocks);
  void ReadPayload(void* buffer, int32_t length);
  void PublishClientList();
  // Reads a list marker's payload through the list readers.
  void ReadListMarker(uint8_t marker);

  // proto_tx.cpp
  void SendTxRequest();
  void DropTxRequest();
  void FinishTx();
  void EndTxByServer();
  void SendRxState();
  void SendTextMessage(std::unique_ptr<TVEKMessage> message);
  void SendQueuedMessages();
  void TxPacing();
  uint32_t TxWaitMs();
  void DropCaptured(bool keepPreCapture);
  void ReturnBatch();
  void SendPacket(int blocks);
  void RecorderStop() {
    if (Recorder.Stop) Recorder.Stop();
  }

  // ----- given
  TDaxBufferPtr* captured_;
  TDaxPoolBuffers* pool_;
  TVEKQueueFlat* player_queue_;
  TVEKConnectionMaker* maker_;
  TVEKLinkAttr* link_attr_ = nullptr;
  int pre_capture_blocks_;
  bool rx_align_enabled_;
  uint32_t rx_align_time_;

  // ----- owned
  std::unique_ptr<TVEKConnection> conn_;
  TFifoStringThreadSafeU log_fifo_{16};
  TVEKClientListQueue client_list_queue_{16};
  TDaxBufferPtr unknown_markers_{512, 4};
  std::unique_ptr<TGSM49Processor> decoder_;
  std::unique_ptr<TGSM49Processor> encoder_;
  TVEKMessageQueue received_messages_{16};
  TVEKMessageQueue outgoing_messages_{16};
  TDaxByteBuffer line_buffer_;
  std::unique_ptr<TVekProtoCustom> proto_;
  // The server charset, set from the link attributes at every handshake;
  // the thread's own, so list reads never hold the shared converter's lock.
  TAnsiUnicodeConverter converter_;
  // Guards the connect request's hand-over (request byte and its wake-up,
  // connect_pending_ and the step to CONNECTING) against each other and
  // WithdrawConnect/HasLinkOrAttempt.
  mutable std::mutex connect_lock_;
  bool connect_pending_ = false;

  // ----- state
  std::atomic<uint8_t> state_{PROTO_STATE_DISCONNECTED};
  std::atomic<uint8_t> requests_[req_Count] = {};
  std::atomic<bool> abort_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> receive_on_{false};
  std::atomic<uint8_t> status_{vs_Available};
  std::atomic<TVekProtoClass> proto_class_{vpc_Custom};

  // Login results and lists, written by the thread, read by the engine.
  mutable std::mutex data_lock_;
  std::u16string server_message_;
  std::string raw_server_message_;
  std::u16string current_network_;
  std::u16string own_client_id_;
  std::string handshake_answer_;
  std::string answer_line1_;
  TVEKClientsArray clients_;
  TVEKNetworksArray networks_;
  TVEKBlockMuteArray banned_;
  TVEKBlockMuteArray muted_;
  TVEKAdminsArray admins_;
  TVEKRightsArray access_;
  TVEKModesArray modes_;
  TVEKNoticesArray notices_;
  std::atomic<uint8_t> privilege_{clpr_NONE};
  std::atomic<uint32_t> sef_{0};
  std::atomic<int32_t> newest_version_{0};
  std::atomic<int32_t> server_version_{0};
  uint32_t last_received_ = 0;

  // Reception.
  std::string talker_id_;
  uint8_t sound_buffer_[kVekSoundPayloadBytes] = {};
  uint32_t arrival_ = 0;
  uint32_t audio_time_ = 0;
  int32_t skip_count_ = 0;
  bool skipping_ = false;

  // Statistics of the last reception or transmission.
  std::atomic<uint32_t> stat_start_{0};
  std::atomic<uint32_t> stat_end_{0};
  std::atomic<int32_t> stat_frames_{0};
  std::atomic<int32_t> stat_passes_{0};
  std::atomic<int32_t> stat_waits_{0};

  // Transmission.
  uint8_t tx_packet_[kVekTxPacketBytes] = {'T', 'X', '1', '\r', '\n'};
  int tx_blocks_in_packet_ = 0;
  void* tx_batch_[kVekTxBatchBlocks] = {};
  int tx_batch_count_ = 0;
  int tx_batch_index_ = 0;
  uint32_t tx_clock_ = 0;
  bool tx_timing_restart_ = false;
  uint32_t last_tx0_ = 0;
};

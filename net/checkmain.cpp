#include "net/checkmain.h"

#include <mutex>

#include "foundation/charset.h"
#include "foundation/setup_data.h"
#include "foundation/tags.h"
#include "foundation/types.h"
#include "net/conn_mk.h"
#include "net/exception.h"
#include "net/link_attr.h"
#include "net/logininfo.h"
#include "net/server.h"

namespace {

std::u16string MessageOf(const std::exception& e) { return DaxHookSysToUnicode(e.what()); }

}  // namespace

TVEKCheckMain::TVEKCheckMain(const TVEKServerParameters& server, const TVEKConnectionMaker& maker,
                             std::unique_ptr<TVEKConnection> connection)
    : maker_(maker),
      connection_(connection ? std::move(connection) : maker.NewConnection(true)),
      period_s_(DaxClamp3To300(server.CheckServerInterval)) {
  PeriodMs = static_cast<std::uint32_t>(period_s_) * 1000u;
  Start();
}

TVEKCheckMain::~TVEKCheckMain() {
  if (!Finished()) {
    Terminate();
    Interrupt();
    WaitFor();
  }
  connection_.reset();
}

void TVEKCheckMain::SetServerParams(TVEKLinkAttr* link) { link_ = link; }

void TVEKCheckMain::StartChecking() {
  std::lock_guard<std::mutex> lock(request_lock_);
  start_request_ = true;
  connection_->Wakeup();
}

bool TVEKCheckMain::TakeStartRequest() {
  std::lock_guard<std::mutex> lock(request_lock_);
  return start_request_.exchange(false);
}

void TVEKCheckMain::StopChecking() {
  stop_request_ = true;
  Interrupt();
}

void TVEKCheckMain::Stop() {
  Terminate();
  Interrupt();
}

void TVEKCheckMain::Interrupt() {
  // Only the owner thread may close the socket; a stop request from here
  // ends its connect, read or write at once.
  connection_->RequestStop();
}

void TVEKCheckMain::Probe(TVEKLinkAttr& link) {
  TVEKConnection& c = *connection_;
  TVEKAccount account;
  VekDefaultAccount(account);
  TVEKLoginInfo info(account);
  info.Reset();
  // The link's converter belongs to the protocol thread; this thread keeps
  // its own, on the same charset.
  std::string charset;
  {
    std::lock_guard<std::mutex> lock(link.ConverterLock());
    charset = link.Converter().CharsetName();
  }
  if (!charset.empty()) converter_.SetCharset(DaxAnsiToUnicodeRaw(charset));
  const std::string line =
      VekBuildLoginLine(link.ClientVersion(), info, link.Network(), 0, converter_);
  c.WriteBuffer(line.data(), static_cast<std::int32_t>(line.size()));
  c.Flush();

  c.Params.ReadTimeout = IoTimeoutMs.load();
  c.Params.WriteTimeout = IoTimeoutMs.load();
  std::string answer;
  c.ReadLine(answer, kMaxLine);
  c.CheckReadTimedOut();
  std::int32_t version = 0;
  if (!DaxTryStrToInt(answer, version))
    RaiseVekInvalidServerResponse(u"Invalid last client version", answer);
  c.ReadLine(answer, kMaxLine);
  c.CheckReadTimedOut();
  std::string value;
  for (const char* tag : {"AL", "SV", "MT"}) {
    if (!VekTagExtract(tag, answer, value))
      RaiseVekInvalidServerResponse(u"Could be not VEK server", answer);
  }
}

int TVEKCheckMain::CheckOnce() {
  TVEKConnection& c = *connection_;
  std::u16string host;
  std::int32_t port = 0;
  try {
    TVEKLinkAttr* link = link_.load();
    TVEKServer* server = link ? link->Server() : nullptr;
    if (!server) throw Exception("server params not provided");
    const TVEKServerCheckTarget target = server->GetCheckTarget();
    host = target.MainHost;
    port = target.MainPort;
    c.SetHost(host);
    c.SetPort(port);
    VekConnApplyParams(c, maker_, target.MainUseProxy);
    c.Connect();
    Probe(*link);
    c.Disconnect();
  } catch (const std::exception& e) {
    c.Disconnect();
    // A check cut short by a stop is no verdict on the server.
    if (Terminated() || stop_request_.load()) return 1;
    if (OnChecked) OnChecked(0, host, port, 0, MessageOf(e));
    countdown_ = kSuccessesNeeded;
    return 1;
  }
  if (Terminated() || stop_request_.load()) return 1;
  if (OnChecked) OnChecked(0, host, port, 1, u"OK");
  if (countdown_.load() > 0) --countdown_;
  if (countdown_.load() == 0) {
    if (OnServerConfirmed) OnServerConfirmed(0);
    return 1;
  }
  return 0;
}

void TVEKCheckMain::Execute() {
  started_ = true;
  while (!Terminated()) {
    try {
      if (stop_request_.exchange(false)) mode_ = kIdle;
      if (TakeStartRequest() && mode_.load() != kChecking) {
        mode_ = kChecking;
        countdown_ = kSuccessesNeeded;
      }
      if (mode_.load() == kChecking) {
        const int result = CheckOnce();
        if (Terminated()) break;
        if (stop_request_.load()) continue;
        connection_->WaitWakeup(result == 1 ? PeriodMs.load() : RetryDelayMs.load());
      } else {
        connection_->WaitWakeup(kIdleWaitMs);
      }
    } catch (const std::exception& e) {
      if (OnError) OnError(DaxHookSysToUnicode(DaxExceptionText(e)));
    }
  }
}

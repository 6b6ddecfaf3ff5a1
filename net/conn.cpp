#include "net/conn.h"

#include <algorithm>
#include <cstring>

#include "foundation/clock.h"
#include "foundation/types.h"
#include "net/exception.h"

TVEKConnection::TVEKConnection(bool peerDisconnectIsError)
    : PeerDisconnectIsError(peerDisconnectIsError), Clock([] { return DaxTickMs(); }) {
  Params.ReadTimeout = 8000;
}

TVEKConnection::~TVEKConnection() = default;

std::u16string TVEKConnection::CodeToStrA(std::int32_t code) { return DaxIntToStrW(code); }
std::u16string TVEKConnection::CodeToStrB(std::int32_t code) { return DaxIntToStrW(code); }

void TVEKConnection::DoReset() {
  Stopping = false;
  DoClearWakeup();
  ConsumeAll();
  LastReadResult = VEK_RAW_DONE;
}

void TVEKConnection::Connect() { DoReset(); }

void TVEKConnection::SetParams(const TVEKConnectionParams& params) {
  Params = params;
  Converter.SetCharset(Params.CharsetName);
}

void TVEKConnection::Disconnect() {
  Stopping = true;
  DoClose();
}

void TVEKConnection::Abort() {
  Stopping = true;
  DoAbort();
}

void TVEKConnection::CheckReadTimedOut() {
  if (ReadTimedOut) RaiseVekReadTimedout();
}

void TVEKConnection::FillBuffer() {
  const std::int32_t room = kVekRecvBufferSize - recv_fill_;
  if (room <= 0) return;
  std::int32_t count = 0;
  LastReadResult = ReadRaw(recv_buffer_ + recv_fill_, room, count);
  // A stop request shuts the socket down under the read: the failure is the
  // stop's, not the peer's. Closing here would clear Stopping and the owner
  // would report a lost link instead of serving the stop.
  if (LastReadResult != VEK_RAW_DONE && Stopping) {
    LastReadResult = VEK_RAW_DONE;
    return;
  }
  switch (LastReadResult) {
    case VEK_RAW_DONE:
      if (count > 0) recv_fill_ += std::min(count, room);
      break;
    case VEK_RAW_CLOSED:
      if (PeerDisconnectIsError) {
        const std::u16string text = GetReadErrorText();
        DoClose();
        RaiseVekPeerDisconnectedMsg(text);
      }
      break;
    default: {
      const std::u16string text = GetReadErrorText();
      DoClose();
      RaiseVekReadError(text);
    }
  }
}

std::int32_t TVEKConnection::Available() {
  FillBuffer();
  return std::max(recv_fill_ - recv_pos_, 0);
}

TVEKConnection::Deadline TVEKConnection::StartDeadline(std::int32_t timeout) {
  return Deadline{Clock(), static_cast<std::uint32_t>(std::max(timeout, 0))};
}

bool TVEKConnection::WaitReadWithin(Deadline& d) {
  const std::uint32_t spent = Clock() - d.start;
  std::uint32_t left = spent >= d.timeout ? 0 : d.timeout - spent;
  // Past the deadline one last poll is allowed; a peer that keeps trickling
  // bytes without a line end does not keep the read alive.
  if (left == 0 && d.expired) {
    ReadTimedOut = true;
    if (OnReadTimedOut) OnReadTimedOut();
    RaiseVekReadTimedout();
  }
  if (left == 0) d.expired = true;
  left = std::min(left, kWaiterMaxTimeout);
  const TWaiterResult result = DoWaitReadable(left);
  // A stop request ends the operation quietly, whatever the wait saw.
  if (Stopping) return false;
  switch (result) {
    case wr_Timeout:
      ReadTimedOut = true;
      if (OnReadTimedOut) OnReadTimedOut();
      RaiseVekReadTimedout();
    case wr_Interrupt:
      DoClearWakeup();
      return false;
    default:
      FillBuffer();
      return true;
  }
}

template <class Append>
TVEKConnection::TLineScan TVEKConnection::ScanLine(Append append, bool closeEndsIdleRead) {
  ReadTimedOut = false;
  Deadline d = StartDeadline(Params.ReadTimeout);
  const std::uint8_t* lf = nullptr;
  bool closed = false;
  while (!Stopping) {
    if (recv_pos_ < recv_fill_) {
      lf = static_cast<const std::uint8_t*>(
          std::memchr(recv_buffer_ + recv_pos_, '\n', static_cast<std::size_t>(recv_fill_ - recv_pos_)));
      if (lf) break;
      append(recv_buffer_ + recv_pos_, static_cast<std::size_t>(recv_fill_ - recv_pos_));
      ConsumeAll();
      // Closed after the last bytes: they are the line.
      if (!closeEndsIdleRead && LastReadResult == VEK_RAW_CLOSED) break;
    }
    if (closeEndsIdleRead && LastReadResult == VEK_RAW_CLOSED) {
      closed = true;
      break;
    }
    WaitReadWithin(d);
  }
  if (!lf) return closed ? TLineScan::Closed : TLineScan::Ended;
  if (Stopping) return TLineScan::Abandoned;
  const std::size_t n = static_cast<std::size_t>(lf - (recv_buffer_ + recv_pos_));
  append(recv_buffer_ + recv_pos_, n);
  recv_pos_ += static_cast<std::int32_t>(n + 1);
  if (recv_pos_ >= recv_fill_) ConsumeAll();
  return TLineScan::Ended;
}

void TVEKConnection::ReadLine(std::string& line, std::int32_t maxLength) {
  line.clear();
  const std::size_t limit = static_cast<std::size_t>(std::max(maxLength, 0));
  const TLineScan end = ScanLine(
      [&](const std::uint8_t* p, std::size_t n) {
        const std::size_t room = line.size() < limit ? limit - line.size() : 0;
        line.append(reinterpret_cast<const char*>(p), std::min(n, room));
      },
      true);
  if (end == TLineScan::Abandoned) return;
  if (end == TLineScan::Closed && PeerDisconnectIsError) {
    DoClose();
    RaiseVekPeerDisconnected();
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

void TVEKConnection::ReadLineToBuffer(TDaxByteBuffer& buffer, std::int32_t maxLength) {
  if (!buffer.Data) DaxByteBufferInit(buffer, 2048);
  buffer.Length = 0;
  buffer.Data[0] = 0;
  const std::uint32_t limit = static_cast<std::uint32_t>(std::max(maxLength, 0));
  // With nothing unread a closed connection keeps polling until the deadline.
  const TLineScan end = ScanLine(
      [&](const std::uint8_t* p, std::size_t size) {
        const std::uint32_t room = buffer.Length < limit ? limit - buffer.Length : 0;
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(size, room));
        if (n == 0) return;
        if (buffer.Length + n + 1 > buffer.Capacity) DaxByteBufferReserve(buffer, buffer.Length + n);
        std::memcpy(buffer.Data + buffer.Length, p, n);
        buffer.Length += n;
        buffer.Data[buffer.Length] = 0;
      },
      false);
  if (end == TLineScan::Abandoned) return;
  if (buffer.Length > 0 && buffer.Data[buffer.Length - 1] == '\r') buffer.Data[--buffer.Length] = 0;
}

void TVEKConnection::ReadBuffer(void* destination, std::int32_t count) {
  ReadTimedOut = false;
  Deadline d = StartDeadline(Params.ReadTimeout);
  auto* out = static_cast<std::uint8_t*>(destination);
  while (count > 0 && !Stopping) {
    const std::int32_t take = std::min(recv_fill_ - recv_pos_, count);
    if (take > 0) {
      std::memcpy(out, recv_buffer_ + recv_pos_, static_cast<std::size_t>(take));
      out += take;
      count -= take;
      recv_pos_ += take;
      if (recv_pos_ >= recv_fill_) ConsumeAll();
    }
    if (count > 0) WaitReadWithin(d);
  }
}

void TVEKConnection::WriteBuffer(const void* source, std::int32_t count) {
  WriteTimedOut = false;
  const Deadline d = StartDeadline(Params.WriteTimeout);
  const auto* p = static_cast<const std::uint8_t*>(source);
  while (count > 0 && !Stopping) {
    std::int32_t written = 0;
    const std::uint8_t result = WriteRaw(p, count, written);
    // As in FillBuffer: a write failed by a stop's shutdown ends quietly.
    if (result != VEK_RAW_DONE && Stopping) return;
    switch (result) {
      case VEK_RAW_DONE: {
        written = std::clamp(written, 0, count);
        p += written;
        count -= written;
        if (count <= 0) break;
        const std::uint32_t spent = Clock() - d.start;
        const std::uint32_t left = std::min(spent >= d.timeout ? 0 : d.timeout - spent, kWaiterMaxTimeout);
        switch (DoWaitWritable(left)) {
          case wr_Timeout:
            WriteTimedOut = true;
            RaiseVekWriteTimedout();
          case wr_Interrupt: DoClearWakeup(); break;
          default: break;
        }
        // A transport that keeps accepting nothing must not outlive the deadline.
        if (left == 0 && count > 0 && written == 0) {
          WriteTimedOut = true;
          RaiseVekWriteTimedout();
        }
        break;
      }
      case VEK_RAW_CLOSED:
        DoClose();
        RaiseVekPeerDisconnected();
      default: {
        const std::u16string text = GetWriteErrorText();
        DoClose();
        RaiseVekWriteError(text);
      }
    }
  }
}

// The daemon's start result: the child reports it to its waiting parent
// through a pipe, once.
#pragma once

// The child's side of the pipe: one byte, the start result, sent once.
class TVEKDaemonReport {
 public:
  TVEKDaemonReport() = default;
  ~TVEKDaemonReport();
  TVEKDaemonReport(const TVEKDaemonReport&) = delete;
  TVEKDaemonReport& operator=(const TVEKDaemonReport&) = delete;

  void Attach(int fd) { fd_ = fd; }
  // Writes the code and closes the pipe; without a pipe, or a second time,
  // does nothing.
  void Send(int code);

 private:
  int fd_ = -1;
};

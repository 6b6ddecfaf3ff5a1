// The PID file the program writes at start and its stop command reads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// Reads a PID file: at most its first 20 bytes up to a NUL or line feed,
// trimmed, as a strict decimal. Raises the system's error text for open and
// read failures and "invalid PID value" for anything that is not a number
// of at least 1.
void VekReadPidFile(const std::string& name, pid_t& pid);

// Who holds a PID file.
enum TVEKPidHolder : uint8_t {
  pfh_None,     // no file of that name
  pfh_Live,     // names a running process (also one this process may not signal)
  pfh_Gone,     // names no running process, or holds no PID at all
  pfh_Unknown,  // cannot be read: counts as held
};

struct TVEKPidFileState {
  TVEKPidHolder Holder = pfh_None;
  pid_t Pid = 0;  // the PID the file names; 0 when it names none
};

// What stands at `name`, changing nothing. A file naming `self` or
// `also_self` is gone: it was left by an earlier process that had the
// number the caller (or its starter) has now.
TVEKPidFileState VekPidFileState(const std::string& name, pid_t self, pid_t also_self = 0);

struct TVEKPidTake {
  bool Taken = false;
  // What stood there: pfh_None when the name was free, pfh_Gone when that
  // file was replaced, the holder when the file was not taken.
  TVEKPidFileState Found;
};

// Makes `name` hold `pid`, unless a live holder has it. The complete text
// is linked into place in one step, so no reader sees a part of it and of
// several takes at one time exactly one wins. A file of a holder that is
// gone is replaced under a lock on the directory, checked again there.
// Raises the file errors of creating the file or deleting a gone one.
TVEKPidTake VekTakePidFile(const std::string& name, pid_t pid, pid_t also_self = 0);

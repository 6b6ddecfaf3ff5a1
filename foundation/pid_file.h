// The PID file the program writes at start and its stop command reads.
#pragma once

#include <sys/types.h>

#include <string>

// Replaces the file with the decimal process id and one line feed. The file
// is created anew (never written through a link left in its place).
void VekWritePidFile(const std::string& name, pid_t pid);
// Reads a PID file: at most its first 20 bytes up to a NUL or line feed,
// trimmed, as a strict decimal. Raises the system's error text for open and
// read failures and "invalid PID value" for anything that is not a number
// of at least 1.
void VekReadPidFile(const std::string& name, pid_t& pid);

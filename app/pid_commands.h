// The commands that reach a running daemon through its PID file: "stop"
// (SIGTERM, then a wait for the PID file to go), "reopenlog" (SIGHUP, then
// a wait for the log file to exist) and "deletepidfile". Only a process
// that runs this program, and is not this process, is ever signalled: a
// PID file left over from a crash may name any process by now. Each error
// is one line on the error output; the commands still end with 0.
#pragma once

#include <cstdint>

struct TVEKProgram;

// How long the commands wait for the daemon's answer, and how often they look.
constexpr uint32_t kVekPidWaitMs = 1000;
constexpr uint32_t kVekPidPollMs = 30;

void VekStopDaemon(TVEKProgram& program);
void VekReopenDaemonLog(TVEKProgram& program);
void VekDeletePidFile(TVEKProgram& program);

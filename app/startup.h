// The start-up of the program before any fork or thread: the command line,
// the configuration loaded (or the audio defaults of a command that reads
// none), the checks, the backup server remembered from an earlier run, the
// ".debug" marker, and the names of the log and the PID file. Each step
// that fails shows "ERROR: " + its error on the output and the next step
// runs with what was set so far. A failed check ends the process (3), and
// so does a configuration that did not load for "stop", "deletepidfile" or
// "reopenlog": its PID file would be the default one.
#pragma once

#include <string>

#include "foundation/setup_data.h"

struct TVEKProgram;

// The output and error on standard output and error, then the command line
// (VekReadCommandLine) and the start-up steps (VekRunStartupSteps).
void ProcessCommandLine(TVEKProgram& program, int argc, char** argv);

// The steps after the command line, on the record's output.
void VekRunStartupSteps(TVEKProgram& program);

// [System] PidFile, else "vekclient.pid": a bare name in /var/run, a
// relative path from the program's directory, an absolute one as it is.
std::u16string VekPidFileName(const TVEKSystemParameters& system);
// [System] LogFile, else "vekclient.log", from the program's directory
// unless absolute.
std::u16string VekLogFileName(const TVEKSystemParameters& system);

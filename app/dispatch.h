// The command word's work, once the runner exists: a console command of
// the runner, a PID-file command, or the run itself ("debug", "daemon",
// "nostdout"). Standard error is silenced around the sound library's
// commands; the program restores it.
#pragma once

class TVEKRun;
class TVEKSignalThread;
struct TVEKProgram;

// Returns the exit code: 0 after a console command; after a run 0 when a
// stop signal ended it, else 7; 7 for a registration without confirmation.
int VekRunCommand(TVEKProgram& program, TVEKRun& runner, const TVEKSignalThread& signals);

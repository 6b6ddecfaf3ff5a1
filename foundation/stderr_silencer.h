// Standard error silencing around noisy libraries (the sound library prints
// its probing of every device there).
#pragma once

// Saves descriptor 2 and points it at /dev/null; returns the saved
// descriptor, or -1 (descriptor 2 unchanged).
int DaxSilenceStdErr();
// Puts the saved descriptor back on 2 and closes it; negative does nothing.
void DaxRestoreStdErr(int saved);

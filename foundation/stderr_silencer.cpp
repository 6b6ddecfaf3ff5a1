#include "foundation/stderr_silencer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool Redirect(int from, int to) {
  int rc;
  do {
    rc = ::dup2(from, to);
  } while (rc < 0 && errno == EINTR);
  return rc >= 0;
}

}  // namespace

int DaxSilenceStdErr() {
  const int saved = ::fcntl(2, F_DUPFD_CLOEXEC, 0);
  if (saved < 0) return -1;
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC, 0666);
  const bool silenced = null >= 0 && Redirect(null, 2);
  if (null >= 0) ::close(null);
  if (!silenced) {
    // Nothing to restore: descriptor 2 was left as it was.
    ::close(saved);
    return -1;
  }
  return saved;
}

void DaxRestoreStdErr(int saved) {
  if (saved < 0) return;
  // A failed restore leaves 2 on /dev/null; the saved copy goes either way.
  Redirect(saved, 2);
  ::close(saved);
}

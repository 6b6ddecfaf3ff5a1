/* A library the tests preload into the program (LD_PRELOAD): PortAudio's
 * stream open, read and write fail on demand, as when a USB sound card is
 * unplugged. The file named by VEK_PA_FAULT_FILE holds, separated by blanks
 * or line ends, the words of what fails now: "read", "write", "open-input",
 * "open-output". No variable, no file or no word: nothing fails. The file
 * is read at every call, so a test switches faults on and off by rewriting
 * it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <portaudio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int Fails(const char* word) {
  const char* path = getenv("VEK_PA_FAULT_FILE");
  if (path == NULL) return 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[256];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = 0;
  const size_t len = strlen(word);
  for (const char* p = text; (p = strstr(p, word)) != NULL; p += len) {
    const int starts = p == text || p[-1] == ' ' || p[-1] == '\n';
    const char after = p[len];
    if (starts && (after == 0 || after == ' ' || after == '\n')) return 1;
  }
  return 0;
}

typedef PaError (*OpenFn)(PaStream**, const PaStreamParameters*, const PaStreamParameters*, double,
                          unsigned long, PaStreamFlags, PaStreamCallback*, void*);
typedef PaError (*ReadFn)(PaStream*, void*, unsigned long);
typedef PaError (*WriteFn)(PaStream*, const void*, unsigned long);

PaError Pa_OpenStream(PaStream** stream, const PaStreamParameters* input,
                      const PaStreamParameters* output, double rate, unsigned long frames,
                      PaStreamFlags flags, PaStreamCallback* callback, void* user) {
  if (Fails(input != NULL ? "open-input" : "open-output")) {
    if (stream != NULL) *stream = NULL;
    return paDeviceUnavailable;
  }
  static OpenFn next;
  if (next == NULL) next = (OpenFn)dlsym(RTLD_NEXT, "Pa_OpenStream");
  return next(stream, input, output, rate, frames, flags, callback, user);
}

PaError Pa_ReadStream(PaStream* stream, void* buffer, unsigned long frames) {
  if (Fails("read")) return paUnanticipatedHostError;
  static ReadFn next;
  if (next == NULL) next = (ReadFn)dlsym(RTLD_NEXT, "Pa_ReadStream");
  return next(stream, buffer, frames);
}

PaError Pa_WriteStream(PaStream* stream, const void* buffer, unsigned long frames) {
  if (Fails("write")) return paUnanticipatedHostError;
  static WriteFn next;
  if (next == NULL) next = (WriteFn)dlsym(RTLD_NEXT, "Pa_WriteStream");
  return next(stream, buffer, frames);
}

#include "foundation/thread.h"

#include <string>

#include "foundation/exception.h"
#include "foundation/fileutils.h"

TDaxThread::~TDaxThread() {
  // A descendant that forgot to join would leave a thread running on a dead
  // object; joining here at least keeps the process from crashing later.
  WaitFor();
}

void TDaxThread::Start() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kStackSize);
  int rc = pthread_create(&handle_, &attr, &TDaxThread::Entry, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    finished_.store(true, std::memory_order_release);
    throw Exception(std::string("Cannot create thread: ") + DaxErrorText(rc));
  }
  joinable_ = true;
}

void TDaxThread::WaitFor() {
  if (joinable_ && !pthread_equal(handle_, pthread_self())) {
    pthread_join(handle_, nullptr);
    joinable_ = false;
  }
}

void* TDaxThread::Entry(void* self) {
  auto* t = static_cast<TDaxThread*>(self);
  try {
    t->Execute();
  } catch (...) {
    // Execute loops catch and log their own errors; nothing may escape a thread.
  }
  t->finished_.store(true, std::memory_order_release);
  return nullptr;
}

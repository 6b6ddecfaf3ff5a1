#include "foundation/thread.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "foundation/exception.h"
#include "foundation/fileutils.h"

TDaxThread::~TDaxThread() {
  // A descendant that forgot to stop would leave a thread running on a dead
  // object; stopping and joining here at least keeps the owner from hanging
  // and the process from crashing later.
  Terminate();
  WaitFor();
}

void TDaxThread::Terminate() noexcept {
  // No lock: a stop may be asked where waiting for one is not allowed (the
  // engine's stop from the signal thread). A notify that falls between a
  // sleeper's check and its wait is caught by the sleeper's next slice.
  terminated_.store(true, std::memory_order_release);
  wake_.notify_all();
}

bool TDaxThread::WaitTerminated(uint32_t ms) {
  constexpr uint32_t kSliceMs = 50;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::unique_lock<std::mutex> guard(wake_lock_);
  while (!Terminated()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) break;
    wake_.wait_for(guard, std::min<std::chrono::steady_clock::duration>(
                              end - now, std::chrono::milliseconds(kSliceMs)));
  }
  return Terminated();
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

std::string TDaxThread::FatalExceptionText() const {
  std::lock_guard<std::mutex> guard(fatal_lock_);
  return fatal_text_;
}

void TDaxThread::KeepFatal(const char* text) {
  std::lock_guard<std::mutex> guard(fatal_lock_);
  fatal_text_ = text;
}

void* TDaxThread::Entry(void* self) {
  auto* t = static_cast<TDaxThread*>(self);
  // Execute loops catch and log their own errors; what still escapes ends
  // the thread and is kept for the owner to report.
  try {
    t->Execute();
  } catch (const std::exception& e) {
    t->KeepFatal(e.what());
  } catch (...) {
    t->KeepFatal("unknown exception");
  }
  t->finished_.store(true, std::memory_order_release);
  return nullptr;
}

void TDaxSyncDispatcher::Call(const std::function<void()>& call) {
  if (OnServingThread()) {
    call();
    return;
  }
  TCall item{&call, nullptr};
  std::unique_lock<std::mutex> guard(lock_);
  calls_.push_back(&item);
  queued_.notify_all();
  finished_.wait(guard, [&] { return item.done; });
  if (item.error) std::rethrow_exception(item.error);
}

bool TDaxSyncDispatcher::Serve(uint32_t wait_ms) {
  std::unique_lock<std::mutex> guard(lock_);
  if (calls_.empty() && !woken_)
    queued_.wait_for(guard, std::chrono::milliseconds(wait_ms),
                     [&] { return !calls_.empty() || woken_; });
  woken_ = false;
  bool ran = false;
  while (!calls_.empty()) {
    TCall* item = calls_.front();
    calls_.pop_front();
    guard.unlock();
    try {
      (*item->call)();
    } catch (...) {
      item->error = std::current_exception();
    }
    guard.lock();
    item->done = true;
    finished_.notify_all();
    ran = true;
  }
  return ran;
}

void TDaxSyncDispatcher::WaitServing(const std::function<bool()>& done, uint32_t poll_ms) {
  while (!done()) Serve(poll_ms);
  // A caller that queued just before `done` turned true still gets its answer.
  Serve(0);
}

size_t TDaxSyncDispatcher::QueuedCalls() {
  std::lock_guard<std::mutex> guard(lock_);
  return calls_.size();
}

void TDaxSyncDispatcher::Wake() {
  std::lock_guard<std::mutex> guard(lock_);
  woken_ = true;
  queued_.notify_all();
}

#include "foundation/waiter2_bsd.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

// Untranslated and thread-safe.
std::string SystemText(int error) {
  const char* text = strerrordesc_np(error);
  return text ? std::string(text) : "Unknown error " + std::to_string(error);
}

}  // namespace

// ---------------------------------------------------------------- base

TWaiter2Base::TWaiter2Base(int capacity) {
  capacity_ = capacity < 0 ? 0 : capacity;
  resources_.assign(static_cast<size_t>(capacity_) + 1, nullptr);
}

TWaiter2Base::~TWaiter2Base() { RemoveAllResources(); }

void TWaiter2Base::InitResource(TWaiter2Resource*) {}
void TWaiter2Base::ReleaseResource(int) {}
void TWaiter2Base::ResourceMoved(int) {}
void TWaiter2Base::ResourceRemoved(int) {}

TWaiter2Resource* TWaiter2Base::AddResource(void* owner, int descriptor) {
  if (count_ >= capacity_ + 1) throw EWaiterNoFreeResources("No free wait resources");
  auto* r = new TWaiter2Resource();
  InitResource(r);
  r->Owner = owner;
  r->Descriptor = descriptor;
  r->Events = 0;
  ++high_index_;
  r->Index = high_index_;
  resources_[static_cast<size_t>(high_index_)] = r;
  ++count_;
  return r;
}

void TWaiter2Base::RemoveResource(TWaiter2Resource* resource) {
  if (!resource) return;
  int index = resource->Index;
  if (index < 0 || index > high_index_ || resources_[static_cast<size_t>(index)] != resource) return;
  ReleaseResource(index);
  delete resource;
  --count_;
  int last = high_index_;
  --high_index_;
  for (int i = index; i < last; ++i) {
    resources_[static_cast<size_t>(i)] = resources_[static_cast<size_t>(i) + 1];
    resources_[static_cast<size_t>(i)]->Index = i;
    ResourceMoved(i);
  }
  resources_[static_cast<size_t>(last)] = nullptr;
  ResourceRemoved(last);
}

void TWaiter2Base::RemoveAllResources() {
  while (high_index_ >= 0) RemoveResource(resources_[static_cast<size_t>(high_index_)]);
}

TWaiterResult TWaiter2Base::WaitOne(uint32_t timeout_ms) {
  if (count_ > 1) throw EWaiterTooManyResources("Too many resources");
  return Wait(timeout_ms, nullptr);
}

// ---------------------------------------------------------------- pipe

TWaiter2Pipe::TWaiter2Pipe(int capacity) : TWaiter2Base(capacity) {
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw EWaiterErrorCreatePipe(SystemText(errno));
  pipe_read_ = fds[0];
  pipe_write_ = fds[1];
  try {
    pipe_resource_ = AddResource(nullptr, pipe_read_);
  } catch (...) {
    close(pipe_read_);
    close(pipe_write_);
    pipe_read_ = pipe_write_ = -1;
    throw;
  }
}

TWaiter2Pipe::~TWaiter2Pipe() {
  // Closing the read end ends its registration; none is deleted by hand.
  RemoveResource(pipe_resource_);
  pipe_resource_ = nullptr;
  if (pipe_read_ != -1) close(pipe_read_);
  if (pipe_write_ != -1) close(pipe_write_);
  pipe_read_ = pipe_write_ = -1;
}

void TWaiter2Pipe::Signal() {
  // Runs in signal handlers: no allocation unless the write really failed,
  // and errno is left as the interrupted code had it.
  int saved = errno;
  for (;;) {
    ssize_t n = write(pipe_write_, "A", 1);
    if (n >= 0) break;
    int error = errno;
    if (error == EINTR) continue;
    errno = saved;
    // A full pipe already holds a wake-up.
    if (error == EAGAIN || error == 0) return;
    throw EWaiterErrorWritePipe(SystemText(error));
  }
  errno = saved;
}

void TWaiter2Pipe::DrainPipe() {
  // A wake-up costs one read: a read short of the buffer took all there
  // was; only a full one can have left bytes behind.
  char buffer[1024];
  for (;;) {
    ssize_t n = read(pipe_read_, buffer, sizeof buffer);
    if (n == static_cast<ssize_t>(sizeof buffer)) continue;
    if (n >= 0) return;
    int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == 0) return;
    throw EWaiterErrorWritePipe(SystemText(error));
  }
}

void TWaiter2Pipe::ClearSignal() { DrainPipe(); }

// ---------------------------------------------------------------- queue

TWaiterEventQueue::TWaiterEventQueue(size_t max_registrations)
    : regs_(max_registrations), polls_(max_registrations) {}

bool TWaiterEventQueue::Change(int descriptor, int16_t filter, bool add, void* udata) {
  ++changes_;
  for (size_t i = 0; i < count_; ++i) {
    if (regs_[i].descriptor != descriptor || regs_[i].filter != filter) continue;
    if (add) {
      regs_[i].udata = udata;
    } else {
      // Keep registration order: notifications come out in it.
      for (size_t j = i + 1; j < count_; ++j) regs_[j - 1] = regs_[j];
      --count_;
    }
    return true;
  }
  if (!add || count_ >= regs_.size()) return false;
  regs_[count_++] = Registration{descriptor, filter, udata};
  return true;
}

int TWaiterEventQueue::Wait(TKEvent* events, int max, int timeout_ms) {
  for (size_t i = 0; i < count_; ++i) {
    polls_[i].fd = regs_[i].descriptor;
    polls_[i].events = regs_[i].filter == kEvFilterRead ? POLLIN : POLLOUT;
    polls_[i].revents = 0;
  }
  int rc = poll(polls_.data(), static_cast<nfds_t>(count_), timeout_ms);
  if (rc <= 0) return rc;
  int out = 0;
  for (size_t i = 0; i < count_ && out < max; ++i) {
    short revents = polls_[i].revents;
    if (!revents) continue;
    TKEvent& e = events[out++];
    e.ident = static_cast<uintptr_t>(regs_[i].descriptor);
    e.filter = regs_[i].filter;
    e.flags = 0;
    if (revents & POLLHUP) e.flags |= kEvEof;
    // A descriptor closed behind the waiter's back is reported, so its owner
    // meets the error on its next call instead of sleeping forever.
    if (revents & (POLLERR | POLLNVAL)) e.flags |= kEvError;
    e.fflags = 0;
    e.data = revents & POLLNVAL ? EBADF : 0;
    e.udata = regs_[i].udata;
  }
  return out;
}

// ---------------------------------------------------------------- bsd

TWaiter2Bsd::TWaiter2Bsd(int capacity)
    : TWaiter2Pipe(capacity > kWaiterMaxCapacity ? kWaiterMaxCapacity : capacity),
      event_list_(2 * (static_cast<size_t>(capacity_) + 1)),
      queue_(2 * (static_cast<size_t>(capacity_) + 1)) {
  record_size_ = ResourceSize();
  // The pipe record was made before this class's InitResource could run.
  InitResource(pipe_resource_);
  queue_.Change(pipe_read_, kEvFilterRead, true, &pipe_resource_->ReadFilter);
}

TWaiter2Bsd::~TWaiter2Bsd() {
  // User records go while this class's ReleaseResource can still delete
  // their registrations; the pipe record is the pipe class's.
  while (high_index_ > 0) RemoveResource(resources_[static_cast<size_t>(high_index_)]);
}

void TWaiter2Bsd::InitResource(TWaiter2Resource* resource) {
  resource->ReadFilter.Resource = resource;
  resource->ReadFilter.Mask = 0;
  resource->WriteFilter.Resource = resource;
  resource->WriteFilter.Mask = 0;
  resource->ReadArmed = false;
  resource->WriteArmed = false;
}

void TWaiter2Bsd::ReleaseResource(int index) {
  TWaiter2Resource* r = Resource(index);
  if (!r) return;
  if (r->ReadArmed) {
    queue_.Change(r->Descriptor, kEvFilterRead, false, &r->ReadFilter);
    r->ReadArmed = false;
    r->ReadFilter.Mask = 0;
  }
  if (r->WriteArmed) {
    queue_.Change(r->Descriptor, kEvFilterWrite, false, &r->WriteFilter);
    r->WriteArmed = false;
    r->WriteFilter.Mask = 0;
  }
}

void TWaiter2Bsd::SetEvents(TWaiter2Resource* resource, uint8_t mask) {
  if (mask == resource->Events) return;
  resource->Events = mask;
  bool want_write = (mask & kWaiterWriteMask) != 0;
  bool want_read = (mask & kWaiterReadMask) != 0;
  if (want_write != resource->WriteArmed) {
    resource->WriteFilter.Mask = want_write ? static_cast<uint8_t>(mask & kWaiterWriteMask) : 0;
    queue_.Change(resource->Descriptor, kEvFilterWrite, want_write, &resource->WriteFilter);
    resource->WriteArmed = want_write;
  }
  if (want_read != resource->ReadArmed) {
    resource->ReadFilter.Mask = want_read ? static_cast<uint8_t>(mask & kWaiterReadMask) : 0;
    queue_.Change(resource->Descriptor, kEvFilterRead, want_read, &resource->ReadFilter);
    resource->ReadArmed = want_read;
  }
}

TWaiterResult TWaiter2Bsd::Wait(uint32_t timeout_ms, TWaiter2Callback callback) {
  if (timeout_ms != kWaiterInfinite && timeout_ms > kWaiterMaxTimeout)
    throw EWaiterTooLargeTime("Timeout is too large: " + std::to_string(timeout_ms));
  int poll_timeout = timeout_ms == kWaiterInfinite ? -1 : static_cast<int>(timeout_ms);
  int n;
  for (;;) {
    n = queue_.Wait(event_list_.data(), static_cast<int>(event_list_.size()), poll_timeout);
    if (n >= 0) break;
    int error = errno;
    // Restarted with the full timeout, as the kernel queue would be.
    if (error == EINTR) continue;
    last_error_ = error;
    return wr_Error;
  }
  if (n == 0) return wr_Timeout;
  bool woken = false;
  for (int i = 0; i < n; ++i) {
    const TKEvent& e = event_list_[static_cast<size_t>(i)];
    if (static_cast<int>(e.ident) == pipe_read_) {
      woken = true;
    } else if (callback) {
      callback(static_cast<TWaiter2Filter*>(e.udata)->Resource);
    }
  }
  if (woken) {
    DrainPipe();
    return wr_Interrupt;
  }
  return wr_Descriptor;
}

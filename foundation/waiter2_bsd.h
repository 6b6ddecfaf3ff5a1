// The waiter: a thread sleeps in it until a registered descriptor is ready,
// another thread wakes it through the self-pipe, or the timeout runs out.
// The kernel event queue of the original design is served here by a small
// registration layer over poll(), which keeps the queue's semantics:
// separate readability and writability registrations per descriptor, each
// with a user pointer, level-triggered.
#pragma once

#include <poll.h>

#include <cstdint>
#include <vector>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EWaiterException, Exception);
DAX_DECLARE_EXCEPTION(EWaiterTooLargeTime, EWaiterException);
DAX_DECLARE_EXCEPTION(EWaiterNoFreeResources, EWaiterException);
DAX_DECLARE_EXCEPTION(EWaiterTooManyResources, EWaiterException);
DAX_DECLARE_EXCEPTION(EWaiterErrorCreatePipe, EWaiterException);
DAX_DECLARE_EXCEPTION(EWaiterErrorFcntl, EWaiterException);
DAX_DECLARE_EXCEPTION(EWaiterErrorKQueue, EWaiterException);
DAX_DECLARE_EXCEPTION(EWaiterErrorWritePipe, EWaiterException);

enum TWaiterResult : uint8_t {
  wr_Timeout = 0,     // time ran out, nothing happened
  wr_Descriptor = 1,  // a registered descriptor is ready; the pipe was not
  wr_Interrupt = 2,   // woken through the pipe (now emptied)
  wr_Error = 3,       // the wait failed; see LastError()
};

// Readiness masks for SetEvents: 1 and 4 ask for readability, 2 and 8 for
// writability (8: a non-blocking connect to complete).
constexpr uint8_t kWaiterRead = 1;
constexpr uint8_t kWaiterWrite = 2;
constexpr uint8_t kWaiterReadMask = 5;
constexpr uint8_t kWaiterWriteMask = 10;

constexpr uint32_t kWaiterInfinite = 4294967295u;
constexpr uint32_t kWaiterMaxTimeout = 86399999u;
constexpr int kWaiterMaxCapacity = 5000;

struct TWaiter2Resource;

// What a registration carries as its user pointer: the first field leads
// back to the record.
struct TWaiter2Filter {
  TWaiter2Resource* Resource = nullptr;
  uint8_t Mask = 0;
};

// One registered descriptor. Allocated singly and never moved while
// registered, so registrations can point into it.
struct TWaiter2Resource {
  void* Owner = nullptr;
  int32_t Descriptor = -1;
  int32_t Index = -1;
  uint8_t Events = 0;
  TWaiter2Filter ReadFilter;
  TWaiter2Filter WriteFilter;
  bool ReadArmed = false;
  bool WriteArmed = false;
};

using PWaiter2ResourceArray = TWaiter2Resource**;
using TWaiter2Callback = void (*)(TWaiter2Resource* resource);

class TWaiter2Base {
 public:
  explicit TWaiter2Base(int capacity);
  TWaiter2Base(const TWaiter2Base&) = delete;
  TWaiter2Base& operator=(const TWaiter2Base&) = delete;
  virtual ~TWaiter2Base();

  virtual int ResourceSize() const = 0;
  virtual void InitResource(TWaiter2Resource* resource);
  virtual void ReleaseResource(int index);
  virtual void ResourceMoved(int index);
  virtual void ResourceRemoved(int index);
  virtual void SetEvents(TWaiter2Resource* resource, uint8_t mask) = 0;
  virtual TWaiterResult Wait(uint32_t timeout_ms, TWaiter2Callback callback = nullptr) = 0;
  // Safe from any thread and from a signal handler.
  virtual void Signal() = 0;
  virtual void ClearSignal() = 0;

  // Raises EWaiterNoFreeResources when capacity + 1 records are registered.
  TWaiter2Resource* AddResource(void* owner, int descriptor);
  void RemoveResource(TWaiter2Resource* resource);
  // For waiters holding nothing but the wake-up pipe.
  TWaiterResult WaitOne(uint32_t timeout_ms);

  int Capacity() const noexcept { return capacity_; }
  int Count() const noexcept { return count_; }
  int HighIndex() const noexcept { return high_index_; }
  int RecordSize() const noexcept { return record_size_; }
  int LastError() const noexcept { return last_error_; }
  TWaiter2Resource* Resource(int index) const noexcept {
    return index >= 0 && index <= high_index_ ? resources_[static_cast<size_t>(index)] : nullptr;
  }

 protected:
  // Removes every record, last first, through the current ReleaseResource.
  void RemoveAllResources();

  int record_size_ = 0;
  int capacity_ = 0;
  int count_ = 0;
  int high_index_ = -1;
  int last_error_ = 0;
  std::vector<TWaiter2Resource*> resources_;  // capacity + 1 slots
};

class TWaiter2Pipe : public TWaiter2Base {
 public:
  explicit TWaiter2Pipe(int capacity);
  ~TWaiter2Pipe() override;

  void Signal() override;
  void ClearSignal() override;

  int PipeReadDescriptor() const noexcept { return pipe_read_; }

 protected:
  // Empties the pipe, in one read unless it held a full buffer; raises
  // EWaiterErrorWritePipe on a real failure.
  void DrainPipe();

  int pipe_read_ = -1;
  int pipe_write_ = -1;
  TWaiter2Resource* pipe_resource_ = nullptr;
};

// A kernel event record in the queue's own layout.
struct TKEvent {
  uintptr_t ident = 0;     // the descriptor
  int16_t filter = 0;      // kEvFilterRead or kEvFilterWrite
  uint16_t flags = 0;      // kEvEof, kEvError on a dead descriptor
  uint32_t fflags = 0;
  intptr_t data = 0;
  void* udata = nullptr;
};

constexpr int16_t kEvFilterRead = -1;
constexpr int16_t kEvFilterWrite = -2;
constexpr uint16_t kEvEof = 0x8000;
constexpr uint16_t kEvError = 0x4000;

// The registration layer: a fixed table of (descriptor, filter, user
// pointer) registrations, waited on with poll(). Owned by one thread.
class TWaiterEventQueue {
 public:
  explicit TWaiterEventQueue(size_t max_registrations);
  // Adds or replaces (add) or deletes a registration. Returns false when the
  // table is full or the registration to delete does not exist.
  bool Change(int descriptor, int16_t filter, bool add, void* udata);
  // Fills up to max notifications; timeout_ms < 0 waits without limit.
  // Returns the number, or -1 with errno set.
  int Wait(TKEvent* events, int max, int timeout_ms);
  size_t Registrations() const noexcept { return count_; }
  // Number of Change calls made, a test seam for "no system call".
  uint64_t Changes() const noexcept { return changes_; }

 private:
  struct Registration {
    int descriptor;
    int16_t filter;
    void* udata;
  };
  std::vector<Registration> regs_;
  std::vector<pollfd> polls_;
  size_t count_ = 0;
  uint64_t changes_ = 0;
};

class TWaiter2Bsd : public TWaiter2Pipe {
 public:
  explicit TWaiter2Bsd(int capacity);
  ~TWaiter2Bsd() override;

  int ResourceSize() const override { return static_cast<int>(sizeof(TWaiter2Resource)); }
  void InitResource(TWaiter2Resource* resource) override;
  void ReleaseResource(int index) override;
  void SetEvents(TWaiter2Resource* resource, uint8_t mask) override;
  TWaiterResult Wait(uint32_t timeout_ms, TWaiter2Callback callback = nullptr) override;

  const TWaiterEventQueue& Queue() const noexcept { return queue_; }

 private:
  std::vector<TKEvent> event_list_;  // 2 x (capacity + 1)
  TWaiterEventQueue queue_;
};

// The class users create.
class TWaiter2Socket : public TWaiter2Bsd {
 public:
  using TWaiter2Bsd::TWaiter2Bsd;
};

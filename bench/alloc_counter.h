// Heap allocation counter for benchmarks that show a hot path allocates
// nothing. It counts every allocation of the process (malloc family and
// operator new, since libstdc++'s operator new calls malloc), so libraries
// such as libsamplerate and libgsm are counted too.
//
// Exactly one source file of a program defines VEK_ALLOC_COUNTER_DEFINE
// before including this header; that file then carries the hooks. Plain
// builds interpose the malloc family over glibc's own entry points; under
// AddressSanitizer (whose allocator must stay in place) the sanitizer's
// allocation hook does the counting instead.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vekbench {

inline std::atomic<uint64_t> gAllocCount{0};

// Allocations since the program started.
inline uint64_t AllocCount() noexcept { return gAllocCount.load(std::memory_order_relaxed); }

// Allocations made since construction.
class TAllocSpan {
 public:
  TAllocSpan() noexcept : start_(AllocCount()) {}
  uint64_t Count() const noexcept { return AllocCount() - start_; }

 private:
  uint64_t start_;
};

}  // namespace vekbench

#ifdef VEK_ALLOC_COUNTER_DEFINE

#if defined(__SANITIZE_ADDRESS__)
#define VEK_ALLOC_COUNTER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEK_ALLOC_COUNTER_ASAN 1
#endif
#endif

#ifdef VEK_ALLOC_COUNTER_ASAN

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void*));

namespace vekbench::detail {
inline void CountMalloc(const volatile void*, size_t) noexcept {
  gAllocCount.fetch_add(1, std::memory_order_relaxed);
}
inline void IgnoreFree(const volatile void*) noexcept {}
// Installed before main; allocations of earlier constructors are not counted.
inline const int kHooksInstalled =
    __sanitizer_install_malloc_and_free_hooks(CountMalloc, IgnoreFree);
}  // namespace vekbench::detail

#else  // glibc interposition

#include <cerrno>

extern "C" {
void* __libc_malloc(size_t size) noexcept;
void* __libc_calloc(size_t count, size_t size) noexcept;
void* __libc_realloc(void* p, size_t size) noexcept;
void* __libc_memalign(size_t alignment, size_t size) noexcept;
void __libc_free(void* p) noexcept;

void* malloc(size_t size) noexcept {
  vekbench::gAllocCount.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
  vekbench::gAllocCount.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) noexcept {
  vekbench::gAllocCount.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) noexcept {
  vekbench::gAllocCount.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
  vekbench::gAllocCount.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  vekbench::gAllocCount.fetch_add(1, std::memory_order_relaxed);
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) noexcept { __libc_free(p); }
}

#endif  // VEK_ALLOC_COUNTER_ASAN
#endif  // VEK_ALLOC_COUNTER_DEFINE

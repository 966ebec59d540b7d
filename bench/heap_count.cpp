#include "heap_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

// The C library's own allocator, under the names it exports for exactly this use.
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *p, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void *p);
}

namespace heap_count {
namespace {
std::atomic<std::uint64_t> count{0};
void *counted(void *p) {
  if (p != nullptr) count.fetch_add(1, std::memory_order_relaxed);
  return p;
}
}  // namespace

std::uint64_t allocations() { return count.load(std::memory_order_relaxed); }

}  // namespace heap_count

using heap_count::counted;

// operator new and every container reach these: libstdc++ allocates through malloc.
extern "C" {
void *malloc(std::size_t size) { return counted(__libc_malloc(size)); }
void *calloc(std::size_t count, std::size_t size) { return counted(__libc_calloc(count, size)); }
// A realloc that moves or grows a block allocates as far as a caller is concerned.
void *realloc(void *p, std::size_t size) { return counted(__libc_realloc(p, size)); }
void free(void *p) { __libc_free(p); }
void *memalign(std::size_t alignment, std::size_t size) {
  return counted(__libc_memalign(alignment, size));
}
void *aligned_alloc(std::size_t alignment, std::size_t size) {
  return counted(__libc_memalign(alignment, size));
}
int posix_memalign(void **out, std::size_t alignment, std::size_t size) {
  if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void *p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = counted(p);
  return 0;
}
}

#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older C libraries lack the name
#endif

bool PrefaultForWriting(void* address, size_t length) {
  if (address == nullptr || length == 0) return false;
  static const uintptr_t kPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  // The call takes whole pages from a page boundary: the first page's other bytes belong to
  // other data, which populating leaves as it is.
  uintptr_t start = reinterpret_cast<uintptr_t>(address) & ~(kPage - 1);
  size_t span = length + (reinterpret_cast<uintptr_t>(address) - start);
  // Older kernels answer EINVAL: nothing was mapped, the pages fault in as before.
  return madvise(reinterpret_cast<void*>(start), span, MADV_POPULATE_WRITE) == 0;
}

bool ReleaseWholePages(void* address, size_t length) {
  if (address == nullptr || length == 0) return false;
  static const uintptr_t kPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t begin = (reinterpret_cast<uintptr_t>(address) + kPage - 1) & ~(kPage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(address) + length) & ~(kPage - 1);
  if (begin >= end) return false;
  return madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED) == 0;
}

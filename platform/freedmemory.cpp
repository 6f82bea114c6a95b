/// @brief Memory the program frees kept for its next allocations (glibc's thresholds).
#include "platform/freedmemory.h"

#include <cstdlib> // defines __GLIBC__ where it applies

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

void keepFreedMemoryForReuse()
{
#if defined(__GLIBC__)
    // Blocks below 32 MiB come from the heap rather than from a mapping of their own, and up to
    // 256 MiB of freed heap stays mapped. Fixed values also end glibc's own adjustment, which
    // tracks the largest block freed so far and so behaves differently from run to run.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
#endif
}

} // namespace platform

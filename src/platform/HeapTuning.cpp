#include "platform/HeapTuning.h"

#include <malloc.h>

namespace velk {

namespace {

// glibc's largest threshold: buffers up to a 10-megapixel RGB raster come from the heap
// and are reused; anything larger is still mapped and unmapped on its own.
constexpr int largestHeapAllocation = 32 << 20;
// Free memory at the top of the heap is kept up to this much between trims.
constexpr int keptAtHeapTop = 128 << 20;

} // namespace

void keepFreedImageBuffersForReuse() {
    ::mallopt(M_MMAP_THRESHOLD, largestHeapAllocation);
    ::mallopt(M_TRIM_THRESHOLD, keptAtHeapTop);
}

void releaseFreeHeapMemory() {
    ::malloc_trim(0);
}

} // namespace velk

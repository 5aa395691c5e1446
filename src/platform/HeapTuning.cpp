#include "platform/HeapTuning.h"

#include <malloc.h>

#include <algorithm>
#include <thread>

namespace velk {

namespace {

// glibc's largest threshold: buffers up to a 10-megapixel RGB raster come from the heap
// and are reused; anything larger is still mapped and unmapped on its own.
constexpr int largestHeapAllocation = 32 << 20;
// Free memory at the top of the heap is kept up to this much between trims.
constexpr int keptAtHeapTop = 128 << 20;

} // namespace

void keepFreedImageBuffersForReuse() {
    // glibc gives threads up to eight arenas per core, and each keeps its own freed
    // buffers and its own top: a batch at two jobs held 515 MiB where one arena per job
    // thread held under 300, in the same time. At most four jobs run at once.
    ::mallopt(M_ARENA_MAX,
              static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u)));
    ::mallopt(M_MMAP_THRESHOLD, largestHeapAllocation);
    ::mallopt(M_TRIM_THRESHOLD, keptAtHeapTop);
}

void releaseFreeHeapMemory() {
    ::malloc_trim(0);
}

} // namespace velk

#pragma once

namespace velk {

/// Keeps the heap's freed image buffers for the next file instead of handing each back
/// to the kernel at once. Every decoded raster, rendered band and output check is
/// megabytes of fresh pages otherwise, and faulting them in again file after file cost
/// more than a fifth of the engine's own time per file. Call once, early in main().
void keepFreedImageBuffersForReuse();

/// Hands the heap's free pages back to the kernel: at the end of a batch, so that the
/// program is small again while it waits.
void releaseFreeHeapMemory();

} // namespace velk

// Advice on how the system maps and backs large result arrays.
#pragma once

#include <cstddef>

namespace aerolume {

// Asks the system to back the whole pages of [data, data + bytes) with huge pages where it
// offers them on request, for arrays of 4 MiB and more: a time-height set's results are
// tens of megabytes, and writing them the first time 4 KiB page by page costs more than
// many kernels.  Advice only: nothing changes if it is not taken.  Call it before the
// first write.
void prefer_huge_pages(void* data, std::size_t bytes);

// Maps the whole pages of [data, data + bytes) before they are written.  The output of a
// read is new memory, and the kernel maps new memory one page at a time on first write:
// asking for a file's rows at once costs one call instead of a fault per page, and is done
// by the thread that then writes them, just before, while the pages are still in its cache.
// Only a hint: where the kernel cannot (older than 5.14, or not Linux), pages fault as usual.
void map_pages(void* data, std::size_t bytes);

// Whether every page of [data, data + bytes) is already mapped: memory used before (which
// the allocator handed out again), as opposed to new memory.  False where it cannot tell.
bool already_mapped(const void* data, std::size_t bytes);

}  // namespace aerolume

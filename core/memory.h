// Advice on how the system backs large result arrays.
#pragma once

#include <cstddef>

namespace aerolume {

// Asks the system to back the whole pages of [data, data + bytes) with huge pages where it
// offers them on request, for arrays of 4 MiB and more: a time-height set's results are
// tens of megabytes, and writing them the first time 4 KiB page by page costs more than
// many kernels.  Advice only: nothing changes if it is not taken.  Call it before the
// first write.
void prefer_huge_pages(void* data, std::size_t bytes);

}  // namespace aerolume

#include "parallel.h"

namespace aerolume {

unsigned resolve_threads(unsigned threads, std::size_t items) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, items)));
}

}  // namespace aerolume

// Arrays the binding returns: allocated here, owned by the NumPy array, and seen by
// tracemalloc.
#include "binding.h"

#include "memory.h"

#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include <dlfcn.h>

namespace aerolume::bindings {

namespace {

// tracemalloc's functions, looked up at run time (CPython 3.10's header declares them
// without C linkage).
struct TraceMalloc {
    using Track = int (*)(unsigned, std::uintptr_t, std::size_t);
    using Untrack = int (*)(unsigned, std::uintptr_t);
    Track track = reinterpret_cast<Track>(dlsym(RTLD_DEFAULT, "PyTraceMalloc_Track"));
    Untrack untrack = reinterpret_cast<Untrack>(dlsym(RTLD_DEFAULT, "PyTraceMalloc_Untrack"));
    static constexpr unsigned numpy_domain = 389047;  // the domain NumPy reports in
};

const TraceMalloc& tracemalloc() {
    static const TraceMalloc functions;
    return functions;
}

}  // namespace

std::pair<void*, nb::capsule> traced_allocation(std::size_t size, std::size_t bytes_each) {
    if (bytes_each != 0 && size > std::numeric_limits<std::size_t>::max() / bytes_each)
        throw std::bad_alloc();
    const std::size_t bytes = size * bytes_each;
    // Owned here until the capsule owns it, so that a capsule that cannot be made leaves
    // nothing behind.
    struct Free {
        void operator()(void* p) const noexcept { ::operator delete(p); }
    };
    std::unique_ptr<void, Free> memory(::operator new(size == 0 ? bytes_each : bytes));
    nb::capsule owner(memory.get(), [](void* p) noexcept {
        if (tracemalloc().untrack)
            tracemalloc().untrack(TraceMalloc::numpy_domain, reinterpret_cast<std::uintptr_t>(p));
        ::operator delete(p);
    });
    void* data = memory.release();
    prefer_huge_pages(data, bytes);
    if (tracemalloc().track)
        tracemalloc().track(TraceMalloc::numpy_domain, reinterpret_cast<std::uintptr_t>(data),
                            bytes);
    return {data, std::move(owner)};
}

NewArray unfilled_array(const std::vector<std::size_t>& shape) {
    auto [data, array] = traced_array<double>(shape);
    return {data, array};
}

NewArray new_array(const std::vector<std::size_t>& shape) {
    NewArray result = unfilled_array(shape);
    std::fill_n(result.data, result.array.size(), 0.0);
    return result;
}

nb::object or_none(NewArray& a, bool valid) {
    return valid ? nb::object(nb::cast(a.array)) : nb::none();
}

std::vector<std::size_t> shape_of(const In& a) {
    std::vector<std::size_t> shape(a.ndim());
    for (std::size_t i = 0; i < a.ndim(); ++i) shape[i] = a.shape(i);
    return shape;
}

Profiles profiles_of(const In& a, const char* name) {
    if (a.ndim() == 0) throw std::invalid_argument(std::string(name) + " must have a range axis");
    const std::size_t gates = a.shape(a.ndim() - 1);
    return {gates == 0 ? 0 : a.size() / gates, gates};
}

}  // namespace aerolume::bindings

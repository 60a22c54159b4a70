#include "threads.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace femap {

size_t usable_processors() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

}  // namespace femap

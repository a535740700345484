#include "python/recursion.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace py {

thread_local constinit char* t_stack_floor __attribute__((tls_model("initial-exec"))) = nullptr;
thread_local constinit int t_drive_depth __attribute__((tls_model("initial-exec"))) = 0;

namespace {

// What is kept free below the last nested drive: room for raising and
// unwinding the RecursionError, and for the Python code (finalisers,
// callbacks, logging) that may run on the way back.  A quarter of a small
// stack, at most 256 KiB of a large one.
constexpr std::size_t kMaxMargin = 256 * 1024;

}  // namespace

char* find_stack_floor() noexcept {
    char* floor = nullptr;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* low = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size)
            floor = static_cast<char*>(low) + std::min(size / 4, kMaxMargin);
        pthread_attr_destroy(&attr);
    }
    // Bounds unknown: only the interpreter's recursion limit applies.
    if (!floor) floor = reinterpret_cast<char*>(1);
    t_stack_floor = floor;
    return floor;
}

}  // namespace py

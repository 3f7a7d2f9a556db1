// The calls that run without the interpreter lock, counted so that the
// process's exit can wait for them.
#include "bindings/gil.hpp"

#include <time.h>

#include <atomic>
#include <cstdlib>

namespace kemb::bindings {
namespace {

std::atomic<int> g_calls_without_gil{0};

// Runs among the exit handlers, before the shared libraries' destructors
// (the loader registered its handler at start-up, so it runs last). By then the interpreter is
// finalized, and a daemon thread still inside a call is ended at its next
// retake of the lock: between epochs, every 20 ms of a save wait, every
// 100 ms of a load, at the end of an evaluation. Until then it may be in
// an OpenBLAS product, and OpenBLAS's exit handler, which joins its worker
// threads, hangs when it runs beside one. A thread blocked for good (an
// open() of a FIFO that never gets a writer) is given up on after a second.
void wait_for_calls_without_gil() {
  constexpr timespec kPause{0, 1'000'000};
  for (int waited_ms = 0; waited_ms < 1000 && g_calls_without_gil.load() > 0; ++waited_ms) {
    ::nanosleep(&kPause, nullptr);
  }
}

}  // namespace

CallWithoutGil::CallWithoutGil() noexcept { g_calls_without_gil.fetch_add(1); }

CallWithoutGil::~CallWithoutGil() { g_calls_without_gil.fetch_sub(1); }

bool wait_for_calls_at_exit() noexcept { return std::atexit(wait_for_calls_without_gil) == 0; }

}  // namespace kemb::bindings

// The scope that keeps OpenBLAS single-threaded, its fork handler, and the
// threading callback that keeps OpenBLAS's workers idle even if its count is
// raised while kemb computes.
#include "tensor/blas_threads.hpp"

#include <cblas.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "os/thread.hpp"

namespace kemb::tensor {
namespace {

// Guards the three counts below. A spin lock rather than a mutex: the fork
// handler can reset it in a child whose parent held it.
std::atomic_flag busy = ATOMIC_FLAG_INIT;
int open_scopes = 0;
int saved_threads = 1;  // OpenBLAS's count when the outermost scope began
int restore_in_child = 0;

void lock() noexcept {
  while (busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}
void unlock() noexcept { busy.clear(std::memory_order_release); }

// The calls into OpenBLAS under way, and whether a fork is waiting for them
// to end. Atomics rather than a mutex and condition variables: the child of
// a fork gets them in a plain state whatever other threads were doing.
std::atomic<int> calls_in_flight{0};
std::atomic<bool> forking{false};

// Before a fork: lets no call begin and waits for the ones under way.
void close_gate() {
  forking.store(true);
  while (calls_in_flight.load() > 0) std::this_thread::yield();
}

void open_gate() { forking.store(false); }

// A child forked while scopes were open inherits the lowered count and none
// of the threads that would close them; its first scope starts from the
// count the parent had instead.
void reset_in_child() {
  if (open_scopes > 0) restore_in_child = saved_threads;
  open_scopes = 0;
  busy.clear(std::memory_order_relaxed);
  calls_in_flight.store(0);
  open_gate();
}

// OpenBLAS's threading callback: should it split a call after all (someone
// raised its count while a product runs), the jobs run on threads started
// for this call, which a fork cannot leave half-joined. The jobs of one call
// may wait on each other, so they all run at once.
void run_jobs(int, openblas_dojob_callback job, int jobs, std::size_t size, void* data, int arg) {
  auto* bytes = static_cast<char*>(data);
  std::vector<std::thread> helpers(static_cast<std::size_t>(std::max(jobs - 1, 0)));
  int started = 1;
  // Without a thread to be had, the remaining jobs run here, after job 0.
  while (started < jobs &&
         os::start_quiet_thread(
             helpers[started - 1], [=] { job(started, bytes + started * size, arg); }) == 0) {
    ++started;
  }
  job(0, bytes, arg);
  for (int j = started; j < jobs; ++j) job(j, bytes + j * size, arg);
  for (int j = 1; j < started; ++j) helpers[j - 1].join();
}

// Both installed while the library loads, before any product runs.
const int fork_handler = pthread_atfork(close_gate, open_gate, reset_in_child);
const bool callback_installed = (scipy_openblas_set_threads_callback_function(run_jobs), true);

}  // namespace

BlasCall::BlasCall() noexcept {
  // Counted first and checked after, so that a fork that closes the gate in
  // between sees this call and waits for it, or this call sees the fork.
  while (true) {
    while (forking.load()) std::this_thread::yield();
    calls_in_flight.fetch_add(1);
    if (!forking.load()) return;
    calls_in_flight.fetch_sub(1);
  }
}

BlasCall::~BlasCall() { calls_in_flight.fetch_sub(1); }

SerialBlas::SerialBlas() noexcept {
  lock();
  if (open_scopes++ == 0) {
    int count = scipy_openblas_get_num_threads();
    if (restore_in_child > 0) {
      count = restore_in_child;
      restore_in_child = 0;
    }
    saved_threads = std::max(count, 1);
    if (count != 1) {
      const BlasCall call;
      scipy_openblas_set_num_threads(1);
    }
  }
  threads_ = saved_threads;
  unlock();
}

SerialBlas::~SerialBlas() {
  lock();
  // A scope opened before a fork ends in the child with none counted.
  if (open_scopes > 0 && --open_scopes == 0 && saved_threads != 1 &&
      scipy_openblas_get_num_threads() == 1) {
    const BlasCall call;
    scipy_openblas_set_num_threads(saved_threads);
  }
  unlock();
}

}  // namespace kemb::tensor

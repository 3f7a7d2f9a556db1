// thread: starting kemb's own threads. Each one blocks every signal, so that
// signals (Ctrl-C above all) reach the host's threads, and the thread that
// starts it gets its own signal mask back on every path, also when no thread
// can be had (RLIMIT_NPROC, a container's pids limit): a caller left with
// every signal blocked would ignore Ctrl-C and SIGTERM for good, and so
// would every process it starts.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

namespace kemb::os {

// Blocks every signal in the calling thread for its lifetime; the mask it
// found is restored by the destructor.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// Starts `body` on a new thread (std::thread or std::jthread) that blocks
// every signal. Returns 0, or the error number when no thread could be
// started; `thread` is then left as it was.
template <typename Thread, typename Body>
int start_quiet_thread(Thread& thread, Body&& body) noexcept {
  const SignalsBlocked blocked;  // the new thread inherits this mask
  try {
    thread = Thread(std::forward<Body>(body));
    return 0;
  } catch (const std::system_error& error) {
    return error.code().value() != 0 ? error.code().value() : EAGAIN;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

// Names the calling thread, as top and debuggers show it (15 bytes at
// most). Best effort.
void name_this_thread(const char* name) noexcept;

// Gives the calling thread the lowest priority, so that it runs in the time
// other threads leave idle: nice 19 for this thread alone on Linux, the
// background band on macOS. Best effort.
void lower_this_thread_priority() noexcept;

}  // namespace kemb::os

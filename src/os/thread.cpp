// Thread names and priorities, which every system spells its own way.
#include "os/thread.hpp"

#include <sys/resource.h>
#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace kemb::os {

void name_this_thread(const char* name) noexcept {
#if defined(__APPLE__)
  pthread_setname_np(name);
#elif defined(__linux__)
  pthread_setname_np(pthread_self(), name);
#else
  (void)name;
#endif
}

void lower_this_thread_priority() noexcept {
#if defined(__APPLE__)
  ::setpriority(PRIO_DARWIN_THREAD, 0, PRIO_DARWIN_BG);
#elif defined(__linux__)
  // Linux keeps a nice value per thread, addressed by its id; gettid() itself
  // needs glibc 2.30, the system call does not.
  constexpr int kLowest = 19;
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kLowest);
#endif
}

}  // namespace kemb::os

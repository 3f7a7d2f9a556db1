// kemb's own threads for the large matrix products: a small persistent pool
// that runs the parts of one product beside the calling thread.
//
// Fork safety is the reason it exists. A thread that calls fork() while a
// product runs copies only itself into the child; the pool's workers and
// whatever lock they held stay behind. So the fork handlers never wait on a
// thread: the parent carries on untouched, and the child forgets the
// parent's pool (leaking it on purpose) and starts a new one the first time
// it needs one. The caller itself never waits for a worker to wake either:
// workers join a product only while it has parts left, and the caller waits
// only for workers that are running a part.
#pragma once

#include <concepts>
#include <cstddef>

namespace kemb::tensor {

// part(i, slot) for every i in [0, parts), each exactly once. `slot` is 0
// for the calling thread and 1 ... threads - 1 for the workers that joined,
// so a part may accumulate into storage of its slot. Parts must not throw.
// A reference to the caller's callable, which outlives the run: no copy, no
// allocation per product.
class PartBody {
 public:
  template <typename F>
  requires(!std::same_as<F, PartBody>)
      PartBody(const F& body)  // NOLINT(google-explicit-constructor): passed as a lambda
      : body_(&body), call_([](const void* b, std::size_t part, std::size_t slot) {
          (*static_cast<const F*>(b))(part, slot);
        }) {}
  void operator()(std::size_t part, std::size_t slot) const { call_(body_, part, slot); }

 private:
  const void* body_;
  void (*call_)(const void*, std::size_t, std::size_t);
};

// Runs the parts on the calling thread and up to `threads - 1` workers
// (started when first needed); returns the number of threads that ran at
// least one part. While another thread's product holds the pool, the parts
// all run on the calling thread. `slots_ran[s]` (threads entries) is set
// when slot s ran a part.
int run_parts(std::size_t parts, int threads, const PartBody& part, bool* slots_ran);

}  // namespace kemb::tensor

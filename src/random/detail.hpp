// Internals of random/ that its tests reach. Nothing else includes this.
#pragma once

namespace kemb::random::detail {

// Forgets the calling thread's generator, so that the next draw keys a new
// one (reading KEMB_SEED again).
void reset_thread_rng();

}  // namespace kemb::random::detail

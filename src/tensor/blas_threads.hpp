// OpenBLAS's own threads, kept out of kemb's products.
//
// The bundled OpenBLAS starts worker threads when it loads and registers a
// fork handler that shuts them down. When another thread forks while a
// product is handing work to those workers, the handler and the product race:
// the handler waits forever for a worker that missed its wake-up (holding the
// interpreter lock, since Python forks with it held), or the product spins
// forever waiting for a worker the handler has just ended. So kemb never
// gives OpenBLAS's workers anything: each sgemm runs on the thread that calls
// it, and large products are split over kemb's own pool (tensor/pool.hpp).
//
// This OpenBLAS has no per-thread setting (its header declares
// openblas_set_num_threads_local, the library does not export it), so the
// process-wide count is lowered to 1 while kemb computes and given back
// afterwards. The count found then is the thread cap of kemb's products, so
// the usual controls still work: OPENBLAS_NUM_THREADS, and threadpoolctl's
// threadpool_limits, which sets that count.
#pragma once

namespace kemb::tensor {

// While any SerialBlas lives (on any thread), OpenBLAS's thread count is 1;
// the last one to end restores the count found when the first began, unless
// someone set another one in between. Scopes nest and may overlap across
// threads; a training call holds one for all its epochs, so its cap is read
// once when the call starts.
class SerialBlas {
 public:
  SerialBlas() noexcept;
  ~SerialBlas();
  SerialBlas(const SerialBlas&) = delete;
  SerialBlas& operator=(const SerialBlas&) = delete;

  // The most threads a product may use: OpenBLAS's count when the first of
  // the open scopes began.
  int threads() const noexcept { return threads_; }

 private:
  int threads_;
};

// One call into OpenBLAS, on any thread. OpenBLAS takes process-wide locks
// inside its calls (its buffer allocator, its thread server); a fork while
// one of kemb's threads holds one would leave it held for good in the child,
// whose first product would then wait forever. So a fork waits until the
// calls under way have returned, and none begins until the fork is done.
// The wait is short and certain: a call is arithmetic on the thread that
// made it and never waits for another thread that could be waiting here.
class BlasCall {
 public:
  BlasCall() noexcept;
  ~BlasCall();
  BlasCall(const BlasCall&) = delete;
  BlasCall& operator=(const BlasCall&) = delete;
};

}  // namespace kemb::tensor

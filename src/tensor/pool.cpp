// The product pool: workers sleep on a condition variable, a product is
// published as one Task with an atomic part counter, and every thread that
// takes part draws parts from it until none are left.
#include "tensor/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "os/thread.hpp"
#include "tensor/detail.hpp"

namespace kemb::tensor {
namespace {

struct Task {
  const PartBody* part;
  std::size_t parts;
  bool* slots_ran;
  std::atomic<std::size_t> next{0};
  // Guarded by the pool's mutex.
  std::size_t helpers_wanted = 0;
  std::size_t helpers_joined = 0;
  std::size_t helpers_running = 0;
};

// Draws parts until none are left; true when this slot ran any.
bool draw_parts(Task& task, std::size_t slot) {
  bool ran = false;
  for (std::size_t i = task.next.fetch_add(1, std::memory_order_relaxed); i < task.parts;
       i = task.next.fetch_add(1, std::memory_order_relaxed)) {
    (*task.part)(i, slot);
    ran = true;
  }
  return ran;
}

class Pool {
 public:
  int run(std::size_t parts, int threads, const PartBody& part, bool* slots_ran);
  int workers() const noexcept { return workers_.load(std::memory_order_relaxed); }

 private:
  void grow(int wanted);  // with mutex_ held
  void work();

  std::mutex mutex_;
  std::condition_variable wake_;      // workers: a task was published
  std::condition_variable finished_;  // caller: the last helper left
  Task* task_ = nullptr;
  std::uint64_t published_ = 0;  // tasks published so far; a worker joins each once
  std::atomic<int> workers_{0};
};

int Pool::run(std::size_t parts, int threads, const PartBody& part, bool* slots_ran) {
  Task task{.part = &part, .parts = parts, .slots_ran = slots_ran};
  std::unique_lock lock(mutex_);
  if (task_ != nullptr) {
    // Another thread's product has the pool: no waiting for it.
    lock.unlock();
    slots_ran[0] = draw_parts(task, 0);
    return 1;
  }
  grow(threads - 1);
  task.helpers_wanted = static_cast<std::size_t>(threads - 1);
  task_ = &task;
  published_ += 1;
  lock.unlock();
  wake_.notify_all();

  slots_ran[0] = draw_parts(task, 0);

  lock.lock();
  task_ = nullptr;  // no worker joins from here on
  finished_.wait(lock, [&] { return task.helpers_running == 0; });
  int ran = slots_ran[0] ? 1 : 0;
  for (std::size_t s = 1; s <= task.helpers_joined; ++s) ran += slots_ran[s] ? 1 : 0;
  return ran;
}

void Pool::grow(int wanted) {
  // Workers leave every signal to the interpreter's threads. Without more
  // threads to be had, the product runs on those there are.
  for (int w = workers(); w < wanted; ++w) {
    std::thread worker;
    if (os::start_quiet_thread(worker, [this] { work(); }) != 0) return;
    worker.detach();  // lives as long as the process; never joined, so never waited on
    workers_.fetch_add(1, std::memory_order_relaxed);
  }
}

void Pool::work() {
  os::name_this_thread("kemb-product");
  std::uint64_t seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] {
      return task_ != nullptr && published_ != seen &&
             task_->helpers_joined < task_->helpers_wanted;
    });
    seen = published_;
    Task& task = *task_;
    const std::size_t slot = ++task.helpers_joined;
    task.helpers_running += 1;
    lock.unlock();
    task.slots_ran[slot] = draw_parts(task, slot);
    lock.lock();
    if (--task.helpers_running == 0) finished_.notify_one();
  }
}

// The pool of this process. Never deleted: its workers run until exit.
std::atomic<Pool*> current{nullptr};

Pool& pool() {
  Pool* pool = current.load(std::memory_order_acquire);
  if (pool != nullptr) return *pool;
  auto* fresh = new Pool;
  if (current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *pool;
}

// In a child the workers do not exist and the mutex may be held by one of
// them: forget the pool without touching it.
void forget_pool_in_child() { current.store(nullptr, std::memory_order_relaxed); }

// Registered while the library loads, before any thread of ours exists.
const int fork_handler = pthread_atfork(nullptr, nullptr, forget_pool_in_child);

}  // namespace

int run_parts(std::size_t parts, int threads, const PartBody& part, bool* slots_ran) {
  std::fill(slots_ran, slots_ran + std::max(threads, 1), false);
  if (threads <= 1 || parts <= 1) {
    Task task{.part = &part, .parts = parts, .slots_ran = slots_ran};
    slots_ran[0] = draw_parts(task, 0);
    return slots_ran[0] ? 1 : 0;
  }
  return pool().run(parts, threads, part, slots_ran);
}

namespace detail {

int pool_workers() noexcept {
  const Pool* pool = current.load(std::memory_order_acquire);
  return pool == nullptr ? 0 : pool->workers();
}

}  // namespace detail

}  // namespace kemb::tensor

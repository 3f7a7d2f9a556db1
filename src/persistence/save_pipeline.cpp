// The background save pipeline: snapshots, the writer thread, the queue of
// one, failures and abandonment, and the text of layer 0's inputs, formatted
// once per call.
#include "persistence/save_pipeline.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "io/error.hpp"
#include "io/os_error.hpp"
#include "os/thread.hpp"
#include "persistence/detail.hpp"
#include "persistence/save_file.hpp"
#include "persistence/snapshot.hpp"
#include "persistence/writer.hpp"

namespace kemb::persistence {
namespace {

// The writer thread, which leaves every signal to the training loop's
// thread. A process at its thread limit fails the call with a message that
// says so.
template <typename Body>
std::thread start_writer(Body body) {
  std::thread thread;
  if (const int error = os::start_quiet_thread(thread, std::move(body)); error != 0) {
    throw io::Error("failed to start a thread: " + io::os_error_text(error));
  }
  return thread;
}

}  // namespace

template <typename Model>
struct SavePipeline<Model>::State {
  struct Job {
    Model snapshot;  // layer 0's inputs left out when it is the first input
    std::unique_ptr<SaveFile> file;
  };

  PipelineOptions options;
  FirstInput first;
  std::string first_path;  // where the first input's text is prepared
  std::atomic<bool> cancelled{false};
  // Stops the work under way at its next block: raised by abandon(), and by
  // finish() for an older save or the first input's text.
  std::atomic<bool> stop_write{false};
  // One while the epochs run; options.format_threads once the caller waits.
  std::atomic<unsigned> format_threads{1};

  std::mutex mutex;
  std::condition_variable wake;  // a job was queued, or stop
  std::condition_variable idle;  // the writer finished a job
  std::unique_ptr<Job> queued;
  std::unique_ptr<Job> spare;  // a written job whose snapshot storage is reused
  bool preparing = false;      // the first input's text is still to be written
  bool saved = false;          // save() was called
  bool busy = false;
  bool hurry = false;     // wait() waits: no rest before the next job
  bool stopping = false;  // the writer takes no further job
  std::exception_ptr error;
  std::thread writer;

  std::unique_ptr<Job> take_job(const Model& model, const InterruptHook& hook);
  void write(Job& job, const InterruptHook* poll = nullptr);
  void run();
  void wait_idle(const InterruptHook& hook = {});
  void stop();
};

// Writes one snapshot to its file and renames it into place. `poll`, when
// given, runs between blocks (Ctrl-C for a caller that writes).
template <typename Model>
void SavePipeline<Model>::State::write(Job& job, const InterruptHook* poll) {
  FileSink sink(job.file->fd(), job.file->target_path(), &stop_write);
  if (poll != nullptr && *poll) sink.poll_with(poll);
  TextBuffer buffer(sink);
  SnapshotMatrices matrices(first, sink, format_threads);
  write_model(job.snapshot, buffer, matrices);
  buffer.finish();
  if (stop_write.load()) throw_save_abandoned();
  job.file->commit();
}

// At the lowest priority: prepares the first input's text, if asked, then
// writes queued jobs until stopped. After each save the writer rests for
// twice as long as that save took, so queued saves are replaced meanwhile
// (only the newest matters) and the file and the disk see at most one save
// in three such periods; wait() ends the rest.
template <typename Model>
void SavePipeline<Model>::State::run() {
  using Clock = std::chrono::steady_clock;
  os::lower_this_thread_priority();
  std::unique_lock lock(mutex);
  if (preparing) {
    busy = true;
    lock.unlock();
    first.prepare(first_path, format_threads, &stop_write);
    lock.lock();
    preparing = false;
    busy = false;
    idle.notify_all();
  }
  Clock::time_point rest_until = Clock::now();
  while (true) {
    wake.wait(lock, [this] { return queued != nullptr || stopping; });
    wake.wait_until(lock, rest_until, [this] { return hurry || stopping; });
    // Stopped, a job left queued is the caller's (finish() writes it).
    if (stopping) return;
    if (queued == nullptr) continue;
    std::unique_ptr<Job> job = std::move(queued);
    busy = true;
    stop_write.store(cancelled.load());
    lock.unlock();
    const Clock::time_point start = Clock::now();
    std::exception_ptr failure;
    try {
      write(*job);
    } catch (...) {
      failure = std::current_exception();
    }
    job->file.reset();  // removes the temporary file of a failed save
    const Clock::time_point end = Clock::now();
    rest_until = end + 2 * (end - start);
    lock.lock();
    busy = false;
    // A stopped save is no failure: a newer one replaces it, or the call is
    // abandoned.
    if (failure && !error && !stop_write.load()) error = failure;
    // After a failure the call ends with it; a later save must not land.
    if (error) queued.reset();
    if (spare == nullptr) spare = std::move(job);
    idle.notify_all();
  }
}

// Waits until the writer is idle with nothing queued (with `stopping` set:
// until it is idle). With a hook, the wait is cut into slices with a call
// of the hook between them, so that Ctrl-C is seen meanwhile.
template <typename Model>
void SavePipeline<Model>::State::wait_idle(const InterruptHook& hook) {
  std::unique_lock lock(mutex);
  hurry = true;
  wake.notify_all();
  const auto done = [this] { return (stopping || queued == nullptr) && !busy && !preparing; };
  if (!hook) {
    idle.wait(lock, done);
  } else {
    while (!idle.wait_for(lock, kSaveHookInterval, done)) {
      lock.unlock();
      hook();
      lock.lock();
    }
  }
  hurry = false;
}

template <typename Model>
void SavePipeline<Model>::State::stop() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  if (writer.joinable()) writer.join();
}

template <typename Model>
SavePipeline<Model>::SavePipeline(PipelineOptions options) : state_(std::make_unique<State>()) {
  state_->options = options;
  if (state_->options.format_threads == 0) state_->options.format_threads = 1;
}

template <typename Model>
SavePipeline<Model>::~SavePipeline() {
  abandon();
}

template <typename Model>
void SavePipeline<Model>::prepare_first_input(ArrayView first_input, const std::string& path) {
  State& s = *state_;
  s.first.give(first_input);
  s.first_path = path;
  // The writer reads `preparing` under the mutex held here. Without a
  // thread to be had now, the saves format the matrix themselves, and the
  // first save starts the writer or raises why it cannot.
  std::lock_guard lock(s.mutex);
  s.preparing = os::start_quiet_thread(s.writer, [&s] { s.run(); }) == 0;
}

// A job for `model`: its file created (or taken over from a queued job that
// never started) and its snapshot taken.
template <typename Model>
auto SavePipeline<Model>::State::take_job(const Model& model, const InterruptHook& hook)
    -> std::unique_ptr<Job> {
  // The path is resolved as it stands now, whatever the working directory
  // was at earlier saves; the target pins its directory.
  SaveTarget target = resolve_target(model.save_best_params);
  const auto reusable = [&target](const typename State::Job* job) {
    return job != nullptr && job->file != nullptr && job->file->replaces(target);
  };
  // A queued save that never started is replaced (only the newest matters),
  // and the newer save takes over its empty temporary file when it goes to
  // the same place. Otherwise the file is created now, before the queue is
  // touched: the step whose failure fails this epoch and leaves a queued
  // save to be completed. So at most two temporary files exist at a time,
  // the one being written and the queued one, and a killed process leaves
  // no more than those.
  std::unique_ptr<SaveFile> file;
  bool queued_reusable = false;
  {
    std::lock_guard lock(mutex);
    queued_reusable = reusable(queued.get());
  }
  if (!queued_reusable) file = std::make_unique<SaveFile>(std::move(target), hook);
  std::unique_ptr<typename State::Job> job;
  {
    std::lock_guard lock(mutex);
    job = std::move(queued != nullptr ? queued : spare);
  }
  // The writer may have started the queued save in between: then `job` is
  // a written one, with no file, and nothing is pending.
  if (file == nullptr && !reusable(job.get())) {
    file = std::make_unique<SaveFile>(std::move(target), hook);
  }
  if (job == nullptr) job = std::make_unique<typename State::Job>();
  if (file != nullptr) job->file = std::move(file);
  copy_model(model, job->snapshot, first.given());
  return job;
}

template <typename Model>
void SavePipeline<Model>::save(const Model& model, const InterruptHook& hook) {
  State& s = *state_;
  check();
  s.saved = true;
  std::unique_ptr<typename State::Job> job = s.take_job(model, hook);
  {
    std::lock_guard lock(s.mutex);
    s.queued = std::move(job);
    if (!s.writer.joinable()) s.writer = start_writer([&s] { s.run(); });
  }
  s.wake.notify_one();
}

template <typename Model>
void SavePipeline<Model>::check() {
  std::lock_guard lock(state_->mutex);
  if (state_->error) std::rethrow_exception(state_->error);
}

template <typename Model>
void SavePipeline<Model>::finish(const InterruptHook& hook) {
  State& s = *state_;
  // With no save to complete, the first input's text is not waited for.
  if (!s.saved) {
    abandon();
    return;
  }
  s.format_threads.store(s.options.format_threads);
  std::unique_ptr<typename State::Job> last;
  try {
    {
      // The writer takes no further job. Whatever it does for an older save
      // while the newest is queued (that save, or the first input's text)
      // stops at its next block; the newest save under way it completes.
      std::lock_guard lock(s.mutex);
      s.stopping = true;
      if (s.busy && s.queued != nullptr) s.stop_write.store(true);
    }
    s.wake.notify_all();
    s.wait_idle(hook);
    s.stop();
    // The newest save, if still queued, is written here, at this thread's
    // priority, whatever else the machine runs.
    last = std::move(s.queued);
    if (last != nullptr) {
      s.stop_write.store(false);
      s.write(*last, &hook);
    }
  } catch (...) {
    last.reset();  // removes its temporary file
    abandon();
    throw;
  }
  check();
}

template <typename Model>
void SavePipeline<Model>::abandon() noexcept {
  State& s = *state_;
  s.cancelled.store(true);
  s.stop_write.store(true);
  std::unique_ptr<typename State::Job> dropped;
  {
    std::lock_guard lock(s.mutex);
    dropped = std::move(s.queued);
  }
  dropped.reset();
  s.stop();
}

template class SavePipeline<LinearModel>;
template class SavePipeline<CategoricalModel>;

namespace detail {

template <typename Model>
void PipelineSeam<Model>::prepare_first_input_now(SavePipeline<Model>& saves, ArrayView first_input,
                                                  const std::string& path, unsigned threads) {
  auto& s = *saves.state_;
  s.first.give(first_input);
  s.first_path = path;
  s.format_threads.store(threads);
  s.first.prepare(path, s.format_threads, &s.stop_write);
}

template <typename Model>
void PipelineSeam<Model>::save_now(SavePipeline<Model>& saves, const Model& model,
                                   unsigned threads) {
  auto& s = *saves.state_;
  saves.check();
  s.format_threads.store(threads);
  auto job = s.take_job(model, {});
  s.write(*job);
  job->file.reset();
  s.spare = std::move(job);
}

template <typename Model>
void PipelineSeam<Model>::wait(SavePipeline<Model>& saves) {
  saves.state_->wait_idle();
  saves.check();
}

template struct PipelineSeam<LinearModel>;
template struct PipelineSeam<CategoricalModel>;

}  // namespace detail

}  // namespace kemb::persistence

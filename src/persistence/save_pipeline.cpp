// The background save pipeline: snapshots, the writer thread, the queue of
// one, failures and abandonment, and the text of layer 0's inputs, formatted
// once per call.
#include "persistence/save_pipeline.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "persistence/save_file.hpp"
#include "persistence/writer.hpp"

namespace kemb::persistence {

using tensor::Matrix;

namespace {

// Every field of `src` into `dst`, reusing dst's storage; layer 0's
// `inputs` only when `with_inputs` (its text is prepared once per call).
void copy_layer(const Layer& src, Layer& dst, bool with_inputs) {
  for_each_field(Layer::fields(), [&](const auto& field, std::size_t) {
    if constexpr (std::is_same_v<typename std::decay_t<decltype(field)>::Type, Matrix>) {
      if (!with_inputs && field.member == &Layer::inputs) return;
    }
    dst.*(field.member) = src.*(field.member);
  });
}

template <typename Model>
void copy_model(const Model& src, Model& dst, bool skip_first_input) {
  for_each_field(Model::fields(), [&](const auto& field, std::size_t) {
    const auto& from = src.*(field.member);
    auto& to = dst.*(field.member);
    if constexpr (std::is_same_v<std::decay_t<decltype(from)>, std::vector<Layer>>) {
      to.resize(from.size());
      for (std::size_t i = 0; i < from.size(); ++i) {
        copy_layer(from[i], to[i], !(skip_first_input && i == 0));
      }
    } else {
      to = from;
    }
  });
}

// The text of layer 0's inputs, the same at every save of a call: formatted
// once, at the start of the call, into an unnamed file that every save
// copies it from. Without such a file (no file system at hand allows one,
// or writing it failed) each save formats the matrix itself.
struct FirstInput {
  ArrayView matrix;
  bool given = false;
  int fd = -1;  // the unnamed file, complete; -1 otherwise
  std::uint64_t length = 0;

  ~FirstInput() {
    if (fd >= 0) ::close(fd);
  }

  // Formats the text into a new unnamed file near `path`. Any failure (a
  // full disk, memory) only means that the saves format it themselves; an
  // abandoned pipeline stops at the next block.
  void prepare(const std::string& path, const std::atomic<unsigned>& threads,
               const std::atomic<bool>* cancelled) {
    const int file = open_unnamed_file(path);
    if (file < 0) return;
    try {
      FileSink sink(file, path, cancelled);
      TextBuffer buffer(sink);
      append_array(buffer, matrix, threads);
      buffer.finish();
      length = buffer.position();
      fd = file;
    } catch (const std::exception&) {
      ::close(file);
    }
  }
};

// The matrices of a snapshot: every one formatted, except layer 0's inputs
// when it is the call's first input, whose prepared text is copied in.
class SnapshotMatrices final : public MatrixText {
 public:
  SnapshotMatrices(const FirstInput& first, FileSink& sink, const std::atomic<unsigned>& threads)
      : first_(first), sink_(sink), threads_(threads) {}

  void append(TextBuffer& out, std::size_t layer, Matrix Layer::*field,
              const Matrix& matrix) override {
    if (layer != 0 || field != &Layer::inputs || !first_.given) {
      append_array(out, matrix, threads_);
    } else if (first_.fd >= 0) {
      out.finish();
      sink_.copy_from(first_.fd, 0, first_.length);
      out.account(first_.length);
    } else {
      append_array(out, first_.matrix, threads_);
    }
  }

 private:
  const FirstInput& first_;
  FileSink& sink_;
  const std::atomic<unsigned>& threads_;
};

// Starts `body` on a new thread that blocks every signal, so that signals
// (Ctrl-C above all) reach the thread that runs the training loop.
template <typename Body>
std::thread start_quiet_thread(Body body) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::thread thread(std::move(body));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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
  // Stops the save being written at its next block: raised by abandon(),
  // and by finish() when a newer save waits behind it.
  std::atomic<bool> stop_write{false};
  // One while the epochs run, so the writer leaves the cores to the
  // products; options.format_threads once the caller waits in finish().
  std::atomic<unsigned> format_threads{1};

  std::mutex mutex;
  std::condition_variable wake;  // a job was queued, or stop
  std::condition_variable idle;  // the writer finished a job
  std::unique_ptr<Job> queued;
  std::unique_ptr<Job> spare;  // a written job whose snapshot storage is reused
  bool preparing = false;  // the first input's text is still to be written
  bool saved = false;      // save() was called
  bool busy = false;
  bool hurry = false;  // the caller waits: no rest before the next job
  bool stopping = false;
  std::exception_ptr error;
  std::thread writer;

  void write(Job& job);
  void run();
  void wait_idle(const InterruptHook& hook = {});
  void stop();
};

// Writes one snapshot to its file and renames it into place.
template <typename Model>
void SavePipeline<Model>::State::write(Job& job) {
  FileSink sink(job.file->fd(), job.file->target_path(), &stop_write);
  TextBuffer buffer(sink);
  SnapshotMatrices matrices(first, sink, format_threads);
  write_model(job.snapshot, buffer, matrices);
  buffer.finish();
  if (stop_write.load()) throw_save_abandoned();
  job.file->commit();
}

// Prepares the first input's text, if asked, then writes queued jobs until
// stopped. While the epochs run, the writer rests after each save for twice
// as long as that save took, so it holds at most a third of a core and
// queued saves are replaced meanwhile (only the newest matters); once the
// caller waits (`hurry`) or stops, it writes at once.
template <typename Model>
void SavePipeline<Model>::State::run() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(mutex);
  if (preparing) {
    busy = true;
    lock.unlock();
    first.prepare(first_path, format_threads, &cancelled);
    lock.lock();
    preparing = false;
    busy = false;
    idle.notify_all();
  }
  Clock::time_point rest_until = Clock::now();
  while (true) {
    wake.wait(lock, [this] { return queued != nullptr || stopping; });
    wake.wait_until(lock, rest_until, [this] { return hurry || stopping; });
    if (queued == nullptr) {
      if (stopping) return;
      continue;
    }
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

// With a hook, the wait is cut into slices with a call of the hook between
// them, so that Ctrl-C is seen while a large save is still being written.
template <typename Model>
void SavePipeline<Model>::State::wait_idle(const InterruptHook& hook) {
  constexpr auto kSlice = std::chrono::milliseconds(20);
  std::unique_lock lock(mutex);
  hurry = true;
  wake.notify_all();
  const auto done = [this] { return queued == nullptr && !busy && !preparing; };
  if (!hook) {
    idle.wait(lock, done);
  } else {
    while (!idle.wait_for(lock, kSlice, done)) {
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
  s.first.matrix = first_input;
  s.first.given = true;
  s.first_path = path;
  if (!s.options.background) {
    s.format_threads.store(s.options.format_threads);
    s.first.prepare(path, s.format_threads, &s.cancelled);
    return;
  }
  std::lock_guard lock(s.mutex);
  s.preparing = true;
  s.writer = start_quiet_thread([&s] { s.run(); });
}

template <typename Model>
void SavePipeline<Model>::save(const Model& model, const InterruptHook& hook) {
  State& s = *state_;
  check();
  s.saved = true;
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
    std::lock_guard lock(s.mutex);
    queued_reusable = reusable(s.queued.get());
  }
  if (!queued_reusable) file = std::make_unique<SaveFile>(std::move(target), hook);
  std::unique_ptr<typename State::Job> job;
  {
    std::lock_guard lock(s.mutex);
    job = std::move(s.queued != nullptr ? s.queued : s.spare);
  }
  // The writer may have started the queued save in between: then `job` is
  // a written one, with no file, and nothing is pending.
  if (file == nullptr && !reusable(job.get())) {
    file = std::make_unique<SaveFile>(std::move(target), hook);
  }
  if (job == nullptr) job = std::make_unique<typename State::Job>();
  if (file != nullptr) job->file = std::move(file);
  copy_model(model, job->snapshot, s.first.given);
  if (!s.options.background) {
    s.format_threads.store(s.options.format_threads);
    s.write(*job);
    job->file.reset();
    s.spare = std::move(job);
    return;
  }
  {
    std::lock_guard lock(s.mutex);
    s.queued = std::move(job);
    if (!s.writer.joinable()) s.writer = start_quiet_thread([&s] { s.run(); });
  }
  s.wake.notify_one();
}

template <typename Model>
void SavePipeline<Model>::check() {
  std::lock_guard lock(state_->mutex);
  if (state_->error) std::rethrow_exception(state_->error);
}

template <typename Model>
bool SavePipeline<Model>::writing() {
  std::lock_guard lock(state_->mutex);
  return state_->busy;
}

template <typename Model>
void SavePipeline<Model>::wait() {
  state_->wait_idle();
  check();
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
  {
    // Only the newest save matters to a caller that waits: a save still
    // being written while a newer one is queued is dropped.
    std::lock_guard lock(s.mutex);
    if (s.busy && s.queued != nullptr) s.stop_write.store(true);
  }
  try {
    s.wait_idle(hook);
  } catch (...) {
    abandon();
    throw;
  }
  s.stop();
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

}  // namespace kemb::persistence

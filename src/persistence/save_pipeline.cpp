// The background save pipeline: snapshots, the writer thread, the queue of
// one, failures and abandonment, and the reuse of unchanged text.
#include "persistence/save_pipeline.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
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
// `inputs` only when `with_inputs` (the pipeline keeps its own copy).
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

// Where the text of layer 0's inputs lies in the last file this pipeline
// committed, and how that file looked right after the commit. Any write to
// it since (by another process) changes its size or times, and the text is
// then formatted again.
struct ReusableText {
  int fd = -1;
  struct stat committed {};
  std::uint64_t offset = 0;
  std::uint64_t length = 0;

  ~ReusableText() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  bool usable() const {
    struct stat now;
    if (fd < 0 || ::fstat(fd, &now) != 0) return false;
    const auto same_time = [](const timespec& a, const timespec& b) {
      return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return now.st_dev == committed.st_dev && now.st_ino == committed.st_ino &&
           now.st_size == committed.st_size && same_time(now.st_mtim, committed.st_mtim) &&
           same_time(now.st_ctim, committed.st_ctim) &&
           offset + length <= static_cast<std::uint64_t>(now.st_size);
  }
};

// The matrices of a snapshot: every one formatted, except layer 0's inputs,
// which comes from the pipeline's stable copy, copied out of the previous
// file when that is possible. Records where that text went.
class SnapshotMatrices final : public MatrixText {
 public:
  SnapshotMatrices(const Matrix* stable_input, const ReusableText& previous, FileSink& sink,
                   const std::atomic<unsigned>& threads)
      : stable_input_(stable_input), previous_(previous), sink_(sink), threads_(threads) {}

  void append(TextBuffer& out, std::size_t layer, Matrix Layer::*field,
              const Matrix& matrix) override {
    if (layer != 0 || field != &Layer::inputs || stable_input_ == nullptr) {
      append_array(out, matrix, threads_.load());
      return;
    }
    offset_ = out.position();
    if (previous_.usable()) {
      out.finish();
      sink_.copy_from(previous_.fd, previous_.offset, previous_.length);
      out.account(previous_.length);
    } else {
      append_array(out, *stable_input_, threads_.load());
    }
    length_ = out.position() - offset_;
    recorded_ = true;
  }

  bool recorded() const { return recorded_; }
  std::uint64_t offset() const { return offset_; }
  std::uint64_t length() const { return length_; }

 private:
  const Matrix* stable_input_;
  const ReusableText& previous_;
  FileSink& sink_;
  const std::atomic<unsigned>& threads_;
  bool recorded_ = false;
  std::uint64_t offset_ = 0;
  std::uint64_t length_ = 0;
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
    Model snapshot;  // layer 0's inputs left out when stable
    std::unique_ptr<SaveFile> file;
  };

  PipelineOptions options;
  Matrix stable_input;  // written once, before the first job is queued
  bool have_stable_input = false;
  ReusableText previous;  // the writer's (the caller's without background)
  std::atomic<bool> cancelled{false};
  // One while the epochs run, so the writer leaves the cores to the
  // products; options.format_threads once the caller waits in finish().
  std::atomic<unsigned> format_threads{1};

  std::mutex mutex;
  std::condition_variable wake;  // a job was queued, or stop
  std::condition_variable idle;  // the writer finished a job
  std::unique_ptr<Job> queued;
  std::unique_ptr<Job> spare;  // a written job whose snapshot storage is reused
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

// Writes one snapshot to its file and renames it into place; on success the
// file becomes the source of reusable text for the next save.
template <typename Model>
void SavePipeline<Model>::State::write(Job& job) {
  FileSink sink(job.file->fd(), job.file->target_path(), &cancelled);
  TextBuffer buffer(sink);
  SnapshotMatrices matrices(have_stable_input ? &stable_input : nullptr, previous, sink,
                            format_threads);
  write_model(job.snapshot, buffer, matrices);
  buffer.finish();
  if (cancelled.load()) throw_save_abandoned();
  const int reader = matrices.recorded() ? job.file->open_reader() : -1;
  try {
    job.file->commit();
  } catch (...) {
    if (reader >= 0) ::close(reader);
    throw;
  }
  previous.reset();
  if (reader < 0) return;
  previous.fd = reader;
  previous.offset = matrices.offset();
  previous.length = matrices.length();
  if (::fstat(reader, &previous.committed) != 0) previous.reset();
}

// Writes queued jobs until stopped. While the epochs run, the writer rests
// after each save for twice as long as that save took, so it holds at most
// a third of a core and queued saves are replaced meanwhile (only the
// newest matters); once the caller waits (`hurry`) or stops, it writes at
// once.
template <typename Model>
void SavePipeline<Model>::State::run() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point rest_until = Clock::now();
  std::unique_lock lock(mutex);
  while (true) {
    wake.wait(lock, [this] { return queued != nullptr || stopping; });
    wake.wait_until(lock, rest_until, [this] { return hurry || stopping; });
    if (queued == nullptr) {
      if (stopping) return;
      continue;
    }
    std::unique_ptr<Job> job = std::move(queued);
    busy = true;
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
    if (failure && !error && !cancelled.load()) error = failure;
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
  const auto done = [this] { return queued == nullptr && !busy; };
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
void SavePipeline<Model>::save(const Model& model, const InterruptHook& hook) {
  State& s = *state_;
  check();
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
  if (s.options.stable_first_input && !s.have_stable_input && !model.layers.empty()) {
    s.stable_input = model.layers.front().inputs;
    s.have_stable_input = true;
  }
  copy_model(model, job->snapshot, s.have_stable_input);
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
  state_->format_threads.store(state_->options.format_threads);
  try {
    state_->wait_idle(hook);
  } catch (...) {
    abandon();
    throw;
  }
  state_->stop();
  check();
}

template <typename Model>
void SavePipeline<Model>::abandon() noexcept {
  State& s = *state_;
  s.cancelled.store(true);
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

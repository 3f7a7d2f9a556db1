// save_pipeline: the saves of one training call, written by a background
// thread while the next epochs run.
//
// The rules it keeps (docs/save_pipeline.md has the reasons):
// - save() runs in the epoch whose save rule fired. Unless a queued save
//   is waiting, it resolves the target and creates the temporary file on
//   the calling thread, so a failure to create it fails that epoch, exactly
//   as the plain save does. Then it takes a snapshot of the model and
//   queues it.
// - The writer thread runs at the lowest priority (nice 19): it takes the
//   time the training leaves idle and never slows the products. One save
//   is written at a time. A queued save that has not started is replaced
//   by a newer one, which takes over its empty temporary file: only the
//   newest best model matters, and at most two temporary files exist at a
//   time (a killed process leaves no more). The writer rests after each
//   save twice as long as the save took; wait() ends the rest.
// - The document in the file is always a complete one, renamed into place;
//   when finish() returns, it is the one of the last save() call. finish()
//   writes the last save itself, on the calling thread (with the format
//   threads it starts), unless the writer is already writing it: an older
//   save or the first input's text under way then stops at its next block.
// - A failing write is raised by the next check(), save() or finish() on
//   the calling thread; the previous file stays as it was.
// - abandon() stops the write in progress at its next block, removes its
//   temporary file and the queued one: the file keeps the last complete
//   save.
// - Layer 0's `inputs` is formatted once. After prepare_first_input() the
//   writer thread formats that matrix first, before any save, into an
//   unnamed file (O_TMPFILE: no name, gone with the process), and every save
//   copies the text from there (copy_file_range) instead of formatting it.
//   Without such a file (none allowed, or finish() came first) each save
//   formats it. Either way the bytes are those of the plain writer.
// - Extra memory: at most two snapshots of the arrays other than layer 0's
//   inputs (the one being written and the queued one); that matrix is read
//   where the caller keeps it.
#pragma once

#include <memory>

#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "persistence/save_file.hpp"
#include "persistence/writer.hpp"

namespace kemb::persistence {

namespace detail {
template <typename Model>
struct PipelineSeam;  // tests' and benchmarks' access (persistence/detail.hpp)
}  // namespace detail

struct PipelineOptions {
  // Threads that format one large array of the last save, the one finish()
  // writes (the calling thread included); the writer alone while epochs
  // run.
  unsigned format_threads = 2;
};

template <typename Model>
class SavePipeline {
 public:
  explicit SavePipeline(PipelineOptions options = {});
  // Abandons whatever is not finished.
  ~SavePipeline();
  SavePipeline(const SavePipeline&) = delete;
  SavePipeline& operator=(const SavePipeline&) = delete;

  // The caller promises that layer 0's `inputs` holds the matrix
  // `first_input` shows at every save (the training set, or the validation
  // set when there is one), and that those values stay where they are until
  // finish() or abandon() returns. Its text is prepared now, in an unnamed
  // file on the file system of `path`'s directory (else in the temporary
  // directory), and the snapshots leave that matrix out. Called before the
  // first save().
  void prepare_first_input(ArrayView first_input, const std::string& path);

  // Saves `model` to model.save_best_params (see above), resolving the
  // path against the working directory of this moment. `hook` is called
  // while the creation waits (a FIFO target without a reader) and may
  // throw to end it.
  void save(const Model& model, const InterruptHook& hook = {});
  // Raises the error of a failed background save, if any.
  void check();
  // Puts the newest save on disk, writing it on this thread unless the
  // writer is already at it; raises its error (or that of an earlier failed
  // save). Without any save, the first input's text is not waited for. The
  // pipeline takes no saves afterwards. After a failure of the training
  // loop this leaves the file as a plain writer would have, and a save
  // error raised here comes from an earlier epoch than the loop's own, so it
  // is the one to report. `hook` is called every
  // 20 ms of the wait; when it throws, the saves are abandoned (the file
  // keeps the last complete one) and its exception propagates.
  void finish(const InterruptHook& hook = {});
  // Stops at once: the file keeps the last complete save. Never fails.
  void abandon() noexcept;

 private:
  friend struct detail::PipelineSeam<Model>;
  struct State;
  std::unique_ptr<State> state_;
};

extern template class SavePipeline<LinearModel>;
extern template class SavePipeline<CategoricalModel>;

}  // namespace kemb::persistence

// Internals of persistence/ that its tests and benchmarks reach: the save
// pipeline's work done on the calling thread, to compare it with the
// background path and to time it, and a wait for the writer. Nothing else
// includes this.
#pragma once

#include <string>

#include "persistence/save_pipeline.hpp"

namespace kemb::persistence::detail {

template <typename Model>
struct PipelineSeam {
  // As SavePipeline::prepare_first_input and save(), but the work is done
  // on the calling thread, with `threads` format threads, before they
  // return; the pipeline's writer never starts for them.
  static void prepare_first_input_now(SavePipeline<Model>& saves, ArrayView first_input,
                                      const std::string& path, unsigned threads);
  static void save_now(SavePipeline<Model>& saves, const Model& model, unsigned threads);

  // Waits until every queued save is on disk, then raises the error of a
  // failed one, if any. More saves may follow.
  static void wait(SavePipeline<Model>& saves);
};

extern template struct PipelineSeam<LinearModel>;
extern template struct PipelineSeam<CategoricalModel>;

}  // namespace kemb::persistence::detail

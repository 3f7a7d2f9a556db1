// The epoch loop shared by both model kinds. What differs between them
// (targets, predictions, loss, accuracy, loss gradient) comes from the model
// record itself; the steps, the report counter, validation and the save rule
// are written once.
#include "training/loop.hpp"

#include <cstdint>
#include <string>

#include "io/console.hpp"
#include "io/error.hpp"
#include "model/report.hpp"
#include "persistence/save_pipeline.hpp"
#include "tensor/blas_threads.hpp"
#include "tensor/gemm.hpp"

namespace kemb::training {

using tensor::Matrix;

namespace {

// The figures of one pass over a data set.
struct PassFigures {
  float data_loss = 0.0f;
  float accuracy = 0.0f;
};

// Predictions, data loss and accuracy of `output` against `y`, in that
// order, so that a failing loss is reported before a failing accuracy. (The
// regularization loss, which cannot fail, is taken by the caller.)
template <typename Model>
PassFigures measure(const Model& model, const Matrix& output,
                    typename Model::Predictions& predictions, const typename Model::Targets& y) {
  model.predict(predictions, output);
  PassFigures figures;
  figures.data_loss = model.data_loss(output, predictions, y);
  figures.accuracy = model.accuracy(predictions, y);
  return figures;
}

bool has_validation(const Matrix& val_x) { return val_x.rows != 0 || val_x.cols != 0; }

// ws.training_input holds the training set, which the workspace lends to
// the first layer as that layer's cached input instead of copying it every
// epoch. The validation pass shares the workspace so that it takes the loan
// back before it fills the layer's input with the validation set.
template <typename Model>
void run_epochs(Model& model, std::uint16_t num_epochs, std::uint16_t print_every,
                model::Workspace& ws, const typename Model::Targets& y, const Matrix& val_x,
                const typename Model::Targets& val_y, DynamicOptimizer opt,
                const EpochHook& between_epochs, persistence::SavePipeline<Model>& saves) {
  const bool validating = has_validation(val_x);
  typename Model::Predictions predictions;
  typename Model::Predictions val_predictions;
  float best_loss = 0.0f;
  std::uint16_t reports_due = 0;  // epochs since the last report

  for (std::uint32_t epoch = 1; epoch <= num_epochs; ++epoch) {
    const Matrix& output = model.forward(ws.training_input, true, ws);
    const PassFigures train = measure(model, output, predictions, y);
    const float reg_loss = model::regularization_loss(model.layers);  // before the update
    if (epoch == 1) best_loss = train.data_loss;

    reports_due += 1;
    if (reports_due == print_every) {
      io::print_line(report::training_line(static_cast<std::uint16_t>(epoch), train.accuracy,
                                           train.data_loss, reg_loss, model.loss_type,
                                           opt.current_learning_rate));
      // With validation, the validation line of this epoch resets the count.
      if (!validating) reports_due = 0;
    }

    Model::loss_gradient(ws.gradient, output, y);
    model::backward_layers(model.layers, ws);
    opt.decay_step();
    for (Layer& layer : model.layers) opt.update_params(layer);
    opt.iteration_step();

    if (validating) {
      const Matrix& val_output = model.forward(val_x, false, ws);
      const PassFigures val = measure(model, val_output, val_predictions, val_y);
      const float val_reg_loss = model::regularization_loss(model.layers);  // after the update
      if (reports_due == print_every) {
        io::print_line(
            report::validation_line(val.accuracy, val.data_loss, val_reg_loss, model.loss_type));
        reports_due = 0;
      }
    }

    // Only the training data loss decides; a NaN on either side never saves.
    if (!model.save_best_params.empty() && best_loss > train.data_loss) {
      saves.save(model, between_epochs);  // the hook runs while a FIFO target waits for a reader
      best_loss = train.data_loss;
    }
    saves.check();  // a background write that failed ends the call now
    if (between_epochs) between_epochs();
  }
}

}  // namespace

// The epochs with their saves written in the background. A first layer that
// keeps a copy of its input holds the same values at every save of a call
// (the training set, or the validation set when there is one, both fixed),
// so the text of that matrix is prepared once, from the start of the call,
// while the first epochs run. When the loop fails, the queued save is
// completed first, so the file holds what saving in the epoch itself would
// have left; a failure from the hook (Ctrl-C), between epochs or while a
// save is waited for, abandons it instead, leaving the last complete save.
template <typename Model>
void train(Model& model, std::uint16_t num_epochs, std::uint16_t print_every, Matrix x,
           const typename Model::Targets& y, const Matrix& val_x,
           const typename Model::Targets& val_y, DynamicOptimizer opt,
           const EpochHook& between_epochs) {
  // The workspace outlives the pipeline's last use of the training set.
  model::Workspace ws;
  ws.training_input = std::move(x);
  persistence::SavePipeline<Model> saves;
  if (!model.save_best_params.empty() && !model.layers.empty() &&
      model::keeps_input(model.layers.front())) {
    const Matrix& first_input = has_validation(val_x) ? val_x : ws.training_input;
    // Lending moves the matrix object, never its storage: the view stays valid.
    saves.prepare_first_input(persistence::ArrayView::of(first_input), model.save_best_params);
  }
  // OpenBLAS stays single-threaded for the whole call, and the thread cap of
  // its products is read once, now.
  const tensor::SerialBlas serial_blas;
  bool interrupted = false;
  EpochHook hook;
  if (between_epochs) {
    hook = [&] {
      try {
        between_epochs();
      } catch (...) {
        interrupted = true;
        throw;
      }
    };
  }
  try {
    run_epochs(model, num_epochs, print_every, ws, y, val_x, val_y, std::move(opt), hook, saves);
  } catch (...) {
    if (interrupted) {
      saves.abandon();
    } else {
      saves.finish(hook);  // raises a save error of an earlier epoch instead
    }
    throw;
  }
  saves.finish(hook);
}

std::uint16_t prepare(std::vector<Layer>& layers, DynamicOptimizer& opt, std::uint16_t num_epochs,
                      std::uint16_t print_freq, std::size_t rows, std::size_t cols) {
  if (num_epochs > 0 && print_freq != 0) model::check_first_pass(layers, rows, cols);
  for (Layer& layer : layers) layer.init();
  opt.current_learning_rate = opt.learning_rate;
  if (print_freq == 0) throw io::Error("attempt to divide by zero");
  return static_cast<std::uint16_t>(num_epochs / print_freq);
}

template void train(LinearModel&, std::uint16_t, std::uint16_t, Matrix, const tensor::Vector&,
                    const Matrix&, const tensor::Vector&, DynamicOptimizer, const EpochHook&);
template void train(CategoricalModel&, std::uint16_t, std::uint16_t, Matrix, const tensor::Labels&,
                    const Matrix&, const tensor::Labels&, DynamicOptimizer, const EpochHook&);

}  // namespace kemb::training

// Report lines, built in one buffer each.
#include "model/report.hpp"

#include "io/number_format.hpp"

namespace kemb::report {
namespace {

// ", loss: {data + reg:.3} [{loss_type}: {data:.3}, reg: {reg:.3}]"
void append_losses(std::string& line, float data_loss, float reg_loss,
                   const std::string& loss_type) {
  line += ", loss: ";
  io::append_fixed(line, data_loss + reg_loss, 3);
  line += " [";
  line += loss_type;
  line += ": ";
  io::append_fixed(line, data_loss, 3);
  line += ", reg: ";
  io::append_fixed(line, reg_loss, 3);
  line += ']';
}

}  // namespace

std::string training_line(std::uint16_t epoch, float accuracy, float data_loss, float reg_loss,
                          const std::string& loss_type, float learning_rate) {
  std::string line = "epoch: ";
  io::append_right_aligned(line, epoch, 4);
  line += ", acc: ";
  io::append_fixed(line, accuracy, 3);
  append_losses(line, data_loss, reg_loss, loss_type);
  line += ", lr ";
  io::append_shortest(line, learning_rate);
  line += '\n';
  return line;
}

std::string validation_line(float accuracy, float data_loss, float reg_loss,
                            const std::string& loss_type) {
  std::string line = "validation:  acc: ";
  io::append_fixed(line, accuracy, 3);
  append_losses(line, data_loss, reg_loss, loss_type);
  line += '\n';
  return line;
}

std::string categorical_sample_line(std::int32_t label, std::int32_t predicted, float certainty) {
  std::string line = "True: ";
  io::append_integer(line, label);
  line += ", Predicted: ";
  io::append_integer(line, predicted);
  line += ", Certainty: ";
  io::append_fixed(line, certainty, 1);
  line += "%\n";
  return line;
}

std::string categorical_summary_line(float accuracy) {
  std::string line = "Validation accuracy ";
  io::append_fixed(line, accuracy, 1);
  line += "%\n";
  return line;
}

std::string linear_sample_line(float target, float prediction, float error) {
  std::string line = "True: ";
  io::append_fixed(line, target, 3);
  line += ", Predicted: ";
  io::append_fixed(line, prediction, 3);
  line += ", Error ";
  io::append_fixed(line, error, 3);
  line += '\n';
  return line;
}

std::string linear_summary_line(float mean_error, float accuracy) {
  std::string line = "Validation MSE: ";
  io::append_fixed(line, mean_error, 3);
  line += ", Accuracy ";
  io::append_fixed(line, accuracy, 1);
  line += "%\n";
  return line;
}

}  // namespace kemb::report

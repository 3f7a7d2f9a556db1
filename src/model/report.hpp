// The lines the training loops and the test reports print. Each builder
// returns one whole line, newline included, ready for io::print_line.
#pragma once

#include <cstdint>
#include <string>

namespace kemb::report {

// "epoch: {epoch:>4}, acc: {acc:.3}, loss: {data + reg:.3} [{loss_type}:
// {data:.3}, reg: {reg:.3}], lr {lr}"
std::string training_line(std::uint16_t epoch, float accuracy, float data_loss, float reg_loss,
                          const std::string& loss_type, float learning_rate);

// "validation:  acc: {acc:.3}, loss: {data + reg:.3} [{loss_type}:
// {data:.3}, reg: {reg:.3}]"
std::string validation_line(float accuracy, float data_loss, float reg_loss,
                            const std::string& loss_type);

// "True: {label}, Predicted: {class}, Certainty: {certainty:.1}%"
std::string categorical_sample_line(std::int32_t label, std::int32_t predicted, float certainty);

// "Validation accuracy {accuracy:.1}%"
std::string categorical_summary_line(float accuracy);

// "True: {target:.3}, Predicted: {prediction:.3}, Error {error:.3}"
std::string linear_sample_line(float target, float prediction, float error);

// "Validation MSE: {mean_error:.3}, Accuracy {accuracy:.1}%"
std::string linear_summary_line(float mean_error, float accuracy);

}  // namespace kemb::report

// Report lines: exact text of each line kind.
#include <gtest/gtest.h>

#include <limits>

#include "model/report.hpp"

namespace kemb::report {
namespace {

TEST(report, training_line_example) {
  // accuracy 0.875, data loss 0.398, reg 0.014, lr 0.001 at epoch 10.
  EXPECT_EQ(training_line(10, 0.875f, 0.398f, 0.014f, "categorical_crossentropy", 0.001f),
            "epoch:   10, acc: 0.875, loss: 0.412 [categorical_crossentropy: 0.398, reg: 0.014], "
            "lr 0.001\n");
}

TEST(report, training_line_number_forms) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(training_line(12345, nan, 1e20f, 0.0f, "mse", 1.0f),
            "epoch: 12345, acc: NaN, loss: 100000002004087734272.000 [mse: "
            "100000002004087734272.000, reg: 0.000], lr 1\n");
  EXPECT_EQ(training_line(1, 0.0f, 0.0f, 0.0f, "", 1e-7f),
            "epoch:    1, acc: 0.000, loss: 0.000 [: 0.000, reg: 0.000], lr 0.0000001\n");
}

TEST(report, total_loss_is_a_float32_sum) {
  // The total is summed in float32 before it is rounded to three digits:
  // 0.0004 + 0.0004 prints 0.001 although each part prints 0.000.
  EXPECT_EQ(validation_line(1.0f, 0.0004f, 0.0004f, "x"),
            "validation:  acc: 1.000, loss: 0.001 [x: 0.000, reg: 0.000]\n");
}

TEST(report, test_report_lines) {
  EXPECT_EQ(categorical_sample_line(2, 2, 0.973f * 100.0f), "True: 2, Predicted: 2, Certainty: 97.3%\n");
  EXPECT_EQ(categorical_sample_line(-1, 0, 0.0f), "True: -1, Predicted: 0, Certainty: 0.0%\n");
  EXPECT_EQ(categorical_summary_line(std::numeric_limits<float>::quiet_NaN()),
            "Validation accuracy NaN%\n");
  EXPECT_EQ(linear_sample_line(1.5f, 1.32f, 1.5f - 1.32f), "True: 1.500, Predicted: 1.320, Error 0.180\n");
  EXPECT_EQ(linear_summary_line(0.25f, 100.0f), "Validation MSE: 0.250, Accuracy 100.0%\n");
}

}  // namespace
}  // namespace kemb::report

// Categorical and linear accuracy: divisors, inclusive tolerance, NaN and
// the two failure messages.
#include <gtest/gtest.h>

#include "accuracy/categorical.hpp"
#include "accuracy/linear.hpp"
#include "reference.hpp"

namespace kemb {

using tensor::Vector;

namespace {

TEST(accuracy, categorical_counts_equal_labels) {
  EXPECT_EQ(ref::bits(accuracy::categorical({0, 2, 1}, {0, 1, 1})), ref::bits(2.0f / 3.0f));
  EXPECT_EQ(accuracy::categorical({4}, {4, 9, 9}), 1.0f);  // extra labels are ignored
  EXPECT_TRUE(std::isnan(accuracy::categorical({}, {})));
  EXPECT_EQ(ref::error_of([] { accuracy::categorical({0, 1, 2}, {0, 1}); }),
            "index out of bounds: the len is 2 but the index is 2");
}

TEST(accuracy, linear_tolerance_is_inclusive_and_divides_by_targets) {
  EXPECT_EQ(accuracy::linear(ref::vec({1.0f, 2.5f}), ref::vec({2.0f, 4.0f}), 1.0f), 0.5f);
  EXPECT_EQ(ref::bits(accuracy::linear(ref::vec({1, 2, 3}), ref::vec({1.5f, 2.6f, 3.0f}), 0.5f)),
            ref::bits(2.0f / 3.0f));
  EXPECT_EQ(ref::bits(accuracy::linear(ref::vec({1, 2}), ref::vec({1, 2, 9}), 1.0f)),
            ref::bits(2.0f / 3.0f));
  EXPECT_EQ(accuracy::linear(ref::vec({ref::nan(), 1}), ref::vec({1, 1}), 1.0f), 0.5f);
  EXPECT_EQ(accuracy::linear(ref::vec({1}), ref::vec({1}), ref::nan()), 0.0f);
  EXPECT_TRUE(std::isnan(accuracy::linear(Vector(), Vector(), 1.0f)));
  EXPECT_EQ(ref::error_of([] { accuracy::linear(ref::vec({1, 2}), ref::vec({1}), 1.0f); }),
            ref::kIndexError);
}

}  // namespace
}  // namespace kemb

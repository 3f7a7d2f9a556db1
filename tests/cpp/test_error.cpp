// The error type and the shared message builders.
#include <gtest/gtest.h>

#include <string>

#include "io/error.hpp"

namespace kemb {

using io::Error;
using io::throw_allocation_failed;
using io::throw_incompatible_product;
using io::throw_index_out_of_bounds;
using io::throw_missing_value;
using io::throw_result_error;
using io::throw_sequence_index;

namespace {

// The error `throw_it` throws; a test fails when it throws nothing.
template <typename Throw>
Error caught(Throw throw_it) {
  try {
    throw_it();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was thrown";
  return Error("<nothing thrown>");
}

template <typename Throw>
std::string message_of(Throw throw_it) {
  return caught(throw_it).what();
}

TEST(error, builders_report_their_call_site) {
  const Error error = caught([] { throw_index_out_of_bounds(); });
  EXPECT_NE(std::string(error.where().file_name()).find("test_error.cpp"), std::string::npos);
}

TEST(error, shared_messages) {
  EXPECT_EQ(message_of([] { throw_index_out_of_bounds(); }), "ndarray: index out of bounds");
  EXPECT_EQ(message_of([] { throw_missing_value(); }),
            "called `Option::unwrap()` on a `None` value");
  EXPECT_EQ(message_of([] { throw_sequence_index(3, 3); }),
            "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(message_of([] { throw_incompatible_product(2, 3, 4, 5); }),
            "ndarray: inputs 2 \u00d7 3 and 4 \u00d7 5 are not compatible for matrix multiplication");
  EXPECT_EQ(message_of([] { throw_result_error("ProbabilityTooSmall"); }),
            "called `Result::unwrap()` on an `Err` value: ProbabilityTooSmall");
  EXPECT_EQ(message_of([] { throw_allocation_failed(64); }), "memory allocation of 64 bytes failed");
}

}  // namespace
}  // namespace kemb

#include <cerrno>

#include "io/os_error.hpp"

namespace kemb::io {
namespace {

TEST(os_error, descriptions) {
  EXPECT_EQ(os_error_description(ENOENT),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(os_error_description(EISDIR),
            "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  EXPECT_EQ(os_error_text(EPIPE), "Broken pipe (os error 32)");
  EXPECT_STREQ(os_error_kind(EACCES), "PermissionDenied");
  EXPECT_STREQ(os_error_kind(ENOSPC), "StorageFull");
  EXPECT_STREQ(os_error_kind(12345), "Uncategorized");
}

}  // namespace
}  // namespace kemb::io

namespace kemb::io {
namespace {

TEST(os_error, descriptions_with_a_path_escape_it) {
  EXPECT_EQ(os_error_description(ENOENT, "dir/\"odd\\name\".json"),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\", "
            "path: \"dir/\\\"odd\\\\name\\\".json\" }");
}

// A path is input: a long one is quoted in part, cut before a character
// that would not fit whole.
TEST(os_error, long_paths_are_quoted_in_part) {
  std::string path = "/" + std::string(254, 'd');
  for (int i = 0; i < 5000; ++i) path += "\xe2\x9c\x93";
  EXPECT_EQ(os_error_description(ENAMETOOLONG, path),
            "Os { code: 36, kind: InvalidFilename, message: \"File name too long\", path: \"" +
                path.substr(0, 255) + "\" [cut: 15255 bytes] }");
}

}  // namespace
}  // namespace kemb::io

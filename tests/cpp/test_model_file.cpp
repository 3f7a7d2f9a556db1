// Saving and loading files: the round trip through a file, the operating
// system's errors, and the atomic replace (a failing or killed save keeps
// the previous file byte for byte; temporary files; permission bits; links).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "io/error.hpp"
#include "persistence/model_file.hpp"
#include "persistence/writer.hpp"
#include "file_support.hpp"
#include "persistence_support.hpp"

namespace kemb::persistence {

using tensor::Matrix;

namespace {

namespace fs = std::filesystem;

const std::string& kPrefix = testing::kResultPrefix;
using testing::contents;
using testing::is_temporary_name;
using testing::message_of;
using testing::put_file;
using testing::text_of;

class model_file : public testing::TempDirTest {};

// A model whose text is a few megabytes: several write blocks, several
// read blocks, numbers and strings across block ends.
LinearModel large_model() {
  std::mt19937_64 rng(7);
  LinearModel model = testing::random_model<LinearModel>(rng);
  Layer layer;
  layer.layer_type = "dense";
  layer.inputs = Matrix(500, 784);
  for (float& v : layer.inputs.data) v = testing::random_float(rng);
  model.layers.push_back(layer);
  model.save_best_params = std::string(300000, 'x') + "\xc3\xa9.json";
  return model;
}

TEST_F(model_file, save_then_load_gives_the_same_models) {
  const LinearModel linear = large_model();
  save(linear, path("m.json"));
  EXPECT_EQ(contents(path("m.json")), text_of(linear));
  EXPECT_TRUE(testing::same_model(linear, load_linear_model(path("m.json"))));

  std::mt19937_64 rng(8);
  const auto categorical = testing::random_model<CategoricalModel>(rng);
  save(categorical, path("m.json"));  // replaces the linear document
  EXPECT_TRUE(testing::same_model(categorical, load_categorical_model(path("m.json"))));
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

TEST_F(model_file, load_failures_name_the_os_or_parse_error) {
  EXPECT_EQ(message_of([&] { load_linear_model(path("missing.json")); }),
            kPrefix + "Os { code: 2, kind: NotFound, message: \"No such file or directory\", path: \"" +
                path("missing.json") + "\" }");
  EXPECT_EQ(message_of([&] { load_categorical_model(dir_.string()); }),
            kPrefix + "Error(\"Is a directory (os error 21)\", line: 1, column: 0)");
  // A parse error far beyond the first read block keeps its real position.
  put_file(path("bad.json"), "{\"layers\":[],\n" + std::string(600000, ' ') + "\n\n  \"x\": tru}");
  EXPECT_EQ(message_of([&] { load_linear_model(path("bad.json")); }),
            kPrefix + "Error(\"expected `true`\", line: 4, column: 11)");
  put_file(path("cut.json"), text_of(large_model()).substr(0, 1500000));
  EXPECT_NE(message_of([&] { load_linear_model(path("cut.json")); }).find("EOF while parsing"),
            std::string::npos);
}

TEST_F(model_file, load_refuses_unreadable_files) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their permission bits";
  save(LinearModel{}, path("m.json"));
  fs::permissions(path("m.json"), fs::perms::none);
  EXPECT_EQ(message_of([&] { load_linear_model(path("m.json")); }),
            kPrefix + "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\", path: \"" +
                path("m.json") + "\" }");
}

TEST_F(model_file, save_failures_name_the_os_error_and_create_nothing) {
  put_file(path("plain"), "not a directory");
  const struct {
    std::string target;
    std::string description;
  } cases[] = {
      {path("no/such/dir/m.json"),
       "Os { code: 2, kind: NotFound, message: \"No such file or directory\""},
      {path("plain/m.json"), "Os { code: 20, kind: NotADirectory, message: \"Not a directory\""},
      {dir_.string(), "Os { code: 21, kind: IsADirectory, message: \"Is a directory\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(message_of([&] { save(LinearModel{}, c.target); }),
              kPrefix + c.description + ", path: \"" + c.target + "\" }");
  }
  EXPECT_EQ(entries(), std::vector<std::string>{"plain"});
  EXPECT_EQ(contents(path("plain")), "not a directory");
}

// Runs `body` in a child process; returns the child's wait status.
template <typename Body>
int in_child(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST_F(model_file, a_save_beyond_the_file_size_limit_keeps_the_old_file) {
  const std::string old_text = text_of(LinearModel{});
  put_file(path("m.json"), old_text);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const int status = in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead
    const rlimit limit{1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const std::string message = message_of([&] { save(large_model(), path("m.json")); });
    (void)!::write(pipe_fds[1], message.data(), message.size());
  });
  ::close(pipe_fds[1]);
  char buffer[512];
  const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
  ::close(pipe_fds[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0))),
            kPrefix + "Os { code: 27, kind: FileTooLarge, message: \"File too large\", path: \"" +
                path("m.json") + "\" }");
  EXPECT_EQ(contents(path("m.json")), old_text);
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

TEST_F(model_file, a_save_killed_midway_leaves_the_old_file_and_a_recognisable_temporary) {
  const std::string old_text = text_of(LinearModel{});
  put_file(path("m.json"), old_text);
  const int status = in_child([&] {
    const rlimit limit{1 << 20, 1 << 20};  // SIGXFSZ at its default: the process dies
    ::setrlimit(RLIMIT_FSIZE, &limit);
    save(large_model(), path("m.json"));
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_EQ(contents(path("m.json")), old_text);
  const auto names = entries();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(is_temporary_name(names[0])) << names[0];
  EXPECT_TRUE(names[0].starts_with(".m.json.kemb-tmp-")) << names[0];
  EXPECT_FALSE(is_temporary_name(names[1]));
}

TEST_F(model_file, permission_bits_of_new_and_replaced_files) {
  const mode_t saved_mask = ::umask(022);
  save(LinearModel{}, path("new.json"));
  EXPECT_EQ(fs::status(path("new.json")).permissions(), static_cast<fs::perms>(0644));
  ::umask(077);
  save(LinearModel{}, path("other.json"));
  EXPECT_EQ(fs::status(path("other.json")).permissions(), static_cast<fs::perms>(0600));
  // A replaced file keeps its own bits, whatever the creation mask.
  fs::permissions(path("new.json"), static_cast<fs::perms>(0664));
  save(LinearModel{}, path("new.json"));
  EXPECT_EQ(fs::status(path("new.json")).permissions(), static_cast<fs::perms>(0664));
  fs::permissions(path("other.json"), static_cast<fs::perms>(0400));
  save(LinearModel{}, path("other.json"));
  EXPECT_EQ(fs::status(path("other.json")).permissions(), static_cast<fs::perms>(0400));
  ::umask(saved_mask);
}

TEST_F(model_file, a_link_is_followed_and_kept) {
  put_file(path("real.json"), "old");
  fs::create_directory(path("sub"));
  fs::create_symlink("../real.json", path("sub/link.json"));  // relative to the link's directory
  fs::create_symlink("sub/link.json", path("chain.json"));
  save(LinearModel{}, path("chain.json"));
  EXPECT_TRUE(fs::is_symlink(path("chain.json")));
  EXPECT_TRUE(fs::is_symlink(path("sub/link.json")));
  EXPECT_EQ(contents(path("real.json")), text_of(LinearModel{}));
  fs::create_symlink("dangling.json", path("to_new.json"));
  save(LinearModel{}, path("to_new.json"));
  EXPECT_EQ(contents(path("dangling.json")), text_of(LinearModel{}));
  EXPECT_EQ(entries(), (std::vector<std::string>{"chain.json", "dangling.json", "real.json", "sub",
                                                 "to_new.json"}));
  fs::create_symlink("loop.json", path("loop.json"));
  EXPECT_EQ(message_of([&] { save(LinearModel{}, path("loop.json")); }),
            kPrefix + "Os { code: 40, kind: FilesystemLoop, message: \"Too many levels of symbolic "
                      "links\", path: \"" + path("loop.json") + "\" }");
}

TEST_F(model_file, a_device_is_written_in_place_not_replaced) {
  save(LinearModel{}, "/dev/null");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

}  // namespace
}  // namespace kemb::persistence

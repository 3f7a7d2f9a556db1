// Saving and loading files: the round trip, the operating system's errors and the atomic replace
// (old file kept, permission bits, links); the background save pipeline and the training loop's
// use of it (file bytes equal the plain writer's, failures surface, no temporary is left).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "persistence/model_file.hpp"
#include "persistence/detail.hpp"
#include "persistence/save_pipeline.hpp"
#include "training/loop.hpp"
#include "support.hpp"

namespace kemb::test {
namespace {

namespace fs = std::filesystem;
using persistence::load_linear_model;
using persistence::save;

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void put_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The string `body` returns when run in a child process, or "<signal N>" if the child was killed.
template <typename Body>
std::string in_child(Body body) {
  int fds[2];
  if (::pipe(fds) != 0) return "<no pipe>";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const std::string out = body();
    (void)!::write(fds[1], out.data(), out.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[512];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? "<signal " + std::to_string(WTERMSIG(status)) + ">" : out;
}

// Each test gets its own empty directory, removed afterwards.
class model_file : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kemb-files-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // The names in the directory, sorted.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string os_error(const std::string& description, const std::string& name) const {
    return kResultPrefix + "Os { " + description + ", path: \"" + name + "\" }";
  }

  std::filesystem::path dir_;
};

// A model whose text is a few megabytes: several write blocks, several
// read blocks, numbers and strings across block ends.
LinearModel large_model() {
  std::mt19937_64 rng(7);
  LinearModel model = ref::random_record<LinearModel>(rng);
  model.layers.push_back(dense(0, 0));
  model.layers.back().inputs = Matrix(500, 784);
  for (float& v : model.layers.back().inputs.data) v = ref::random_float(rng);
  model.save_best_params = std::string(300000, 'x') + "\xc3\xa9.json";
  return model;
}

TEST_F(model_file, load_failures_name_the_os_or_parse_error) {
  EXPECT_EQ(message_of([&] { load_linear_model(path("missing.json")); }),
            os_error("code: 2, kind: NotFound, message: \"No such file or directory\"",
                     path("missing.json")));
  // A parse error far beyond the first read block keeps its real position.
  put_file(path("bad.json"), "{\"layers\":[],\n" + std::string(600000, ' ') + "\n\n  \"x\": tru}");
  EXPECT_EQ(message_of([&] { load_linear_model(path("bad.json")); }),
            kResultPrefix + "Error(\"expected `true`\", line: 4, column: 11)");
  put_file(path("cut.json"), text_of(large_model()).substr(0, 1500000));
  EXPECT_NE(message_of([&] { load_linear_model(path("cut.json")); }).find("EOF while parsing"),
            std::string::npos);
  if (::geteuid() != 0) {  // root reads files whatever their permission bits
    fs::permissions(path("cut.json"), fs::perms::none);
    EXPECT_EQ(message_of([&] { load_linear_model(path("cut.json")); }),
              os_error("code: 13, kind: PermissionDenied, message: \"Permission denied\"",
                       path("cut.json")));
  }
}

TEST_F(model_file, save_failures_name_the_os_error_and_create_nothing) {
  put_file(path("plain"), "not a directory");
  fs::create_symlink("loop.json", path("loop.json"));
  for (auto [target, description] :
       {std::pair{path("no/such/dir/m.json"),
                  "code: 2, kind: NotFound, message: \"No such file or directory\""},
        {path("plain/m.json"), "code: 20, kind: NotADirectory, message: \"Not a directory\""},
        {path("loop.json"),
         "code: 40, kind: FilesystemLoop, message: \"Too many levels of symbolic links\""}}) {
    EXPECT_EQ(message_of([&] { save(LinearModel{}, target); }), os_error(description, target));
  }
  EXPECT_EQ(entries(), (std::vector<std::string>{"loop.json", "plain"}));
  EXPECT_EQ(contents(path("plain")), "not a directory");
}

// Beyond the file size limit a save fails with EFBIG (SIGXFSZ ignored) or is
// killed; the old file stays, a killed save leaves a recognisable temporary.
TEST_F(model_file, a_failed_or_killed_save_keeps_the_old_file) {
  const std::string old_text = text_of(LinearModel{});
  put_file(path("m.json"), old_text);
  for (bool ignore_signal : {true, false}) {
    const std::string outcome = in_child([&] {
      if (ignore_signal) ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{1 << 20, 1 << 20};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      return message_of([&] { save(large_model(), path("m.json")); });
    });
    EXPECT_EQ(outcome, ignore_signal ? os_error("code: 27, kind: FileTooLarge, message: \"File "
                                                "too large\"",
                                                path("m.json"))
                                     : "<signal " + std::to_string(SIGXFSZ) + ">");
    EXPECT_EQ(contents(path("m.json")), old_text);
    EXPECT_EQ(entries().size(), ignore_signal ? 1u : 2u);  // a failed save removes its temporary
  }
  EXPECT_TRUE(entries()[0].starts_with(".m.json.kemb-tmp-")) << entries()[0];
}

TEST_F(model_file, permission_bits_of_new_and_replaced_files) {
  const mode_t saved_mask = ::umask(022);
  save(LinearModel{}, path("new.json"));
  ::umask(077);
  save(LinearModel{}, path("other.json"));
  ::umask(saved_mask);
  EXPECT_EQ(fs::status(path("new.json")).permissions(), static_cast<fs::perms>(0644));
  EXPECT_EQ(fs::status(path("other.json")).permissions(), static_cast<fs::perms>(0600));
  // A replaced file keeps its own bits, whatever the creation mask.
  for (auto [name, mode] : {std::pair{"new.json", 0664}, {"other.json", 0400}}) {
    fs::permissions(path(name), static_cast<fs::perms>(mode));
    save(LinearModel{}, path(name));
    EXPECT_EQ(fs::status(path(name)).permissions(), static_cast<fs::perms>(mode));
  }
}

TEST_F(model_file, links_are_followed_and_kept_and_devices_written_in_place) {
  put_file(path("real.json"), "old");
  fs::create_directory(path("sub"));
  fs::create_symlink("../real.json", path("sub/link.json"));  // relative to the link's directory
  fs::create_symlink("sub/link.json", path("chain.json"));
  fs::create_symlink("dangling.json", path("to_new.json"));
  save(LinearModel{}, path("chain.json"));
  save(LinearModel{}, path("to_new.json"));
  EXPECT_TRUE(fs::is_symlink(path("chain.json")) && fs::is_symlink(path("sub/link.json")));
  EXPECT_EQ(contents(path("real.json")), text_of(LinearModel{}));
  EXPECT_EQ(contents(path("dangling.json")), text_of(LinearModel{}));
  EXPECT_EQ(entries(), (std::vector<std::string>{"chain.json", "dangling.json", "real.json", "sub",
                                                 "to_new.json"}));
  save(LinearModel{}, "/dev/null");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

using persistence::ArrayView;
using persistence::SavePipeline;
using Seam = persistence::detail::PipelineSeam<CategoricalModel>;

class save_pipeline : public model_file {};

// Random layers after one with `rows` x 64 inputs of every float kind.
CategoricalModel model_with_inputs(std::mt19937_64& rng, std::size_t rows,
                                   const std::string& path) {
  auto model = ref::random_record<CategoricalModel>(rng);
  Layer first = ref::random_record<Layer>(rng);
  first.inputs = Matrix(rows, 64);
  for (float& v : first.inputs.data) v = ref::random_float(rng);
  model.layers.insert(model.layers.begin(), first);
  model.save_best_params = path;
  return model;
}

// Everything but layer 0's inputs changes, as it does between epochs.
void change_the_rest(std::mt19937_64& rng, CategoricalModel& model) {
  const Matrix inputs = model.layers.front().inputs;
  for (Layer& layer : model.layers) layer = ref::random_record<Layer>(rng);
  model.layers.front().inputs = inputs;
  model.output_type = ref::random_text(rng);
}

struct Mode {
  bool background;  // else the seam that writes on the calling thread
  unsigned threads;
  std::size_t rows;   // of layer 0's inputs; 20000 x 64 crosses the split size
  bool unnamed_file;  // the first input's text prepared in an unnamed file
  int saves;          // in quick succession, each followed by check()
};

class pipeline_bytes : public save_pipeline, public ::testing::WithParamInterface<Mode> {};

TEST_P(pipeline_bytes, every_file_equals_the_plain_writers_text) {
  const Mode mode = GetParam();
  std::mt19937_64 rng(11);
  CategoricalModel model = model_with_inputs(rng, mode.rows, path("m.json"));
  SavePipeline<CategoricalModel> saves({.format_threads = mode.threads});
  const Matrix first = model.layers.front().inputs;
  const auto prepare = [&](const std::string& near) {
    if (mode.background) return saves.prepare_first_input(ArrayView::of(first), near);
    Seam::prepare_first_input_now(saves, ArrayView::of(first), near, mode.threads);
  };
  if (!mode.unnamed_file) {
    // No directory to hold the unnamed file: each save formats the matrix.
    ::setenv("TMPDIR", path("missing").c_str(), 1);
    prepare(path("not-yet/m.json"));
    ::unsetenv("TMPDIR");
  } else {
    prepare(path("m.json"));
  }
  for (int round = 0; round < mode.saves; ++round) {
    change_the_rest(rng, model);
    mode.background ? saves.save(model) : Seam::save_now(saves, model, mode.threads);
    saves.check();
  }
  saves.finish();
  EXPECT_TRUE(contents(path("m.json")) == text_of(model));
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

INSTANTIATE_TEST_SUITE_P(modes, pipeline_bytes,
                         ::testing::Values(Mode{true, 1, 30, true, 5},
                                           Mode{true, 2, 20000, false, 5},
                                           Mode{false, 3, 20000, true, 5},
                                           Mode{true, 2, 5000, true, 30}));

TEST_F(save_pipeline, a_file_that_cannot_be_created_fails_the_save_call_itself) {
  std::mt19937_64 rng(6);
  CategoricalModel model = model_with_inputs(rng, 10, path("m.json"));
  SavePipeline<CategoricalModel> saves;
  saves.save(model);
  model.save_best_params = path("missing/m.json");
  EXPECT_EQ(message_of([&] { saves.save(model); }),
            os_error("code: 2, kind: NotFound, message: \"No such file or directory\"",
                     path("missing/m.json")));
  // The save queued before is still completed.
  saves.finish();
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

TEST_F(save_pipeline, a_failed_background_write_is_raised_later_and_keeps_the_old_file) {
  std::mt19937_64 rng(9);
  CategoricalModel small = model_with_inputs(rng, 10, path("m.json"));
  const std::string old_text = text_of(small);
  {
    SavePipeline<CategoricalModel> saves;
    saves.save(small);
    saves.finish();
  }
  ASSERT_TRUE(contents(path("m.json")) == old_text);
  const std::string message = in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead
    const rlimit limit{1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    CategoricalModel large = model_with_inputs(rng, 20000, path("m.json"));
    SavePipeline<CategoricalModel> saves;
    std::string first = message_of([&] { saves.save(large); });  // creating works
    std::string later = message_of([&] { saves.finish(); });
    return first + "|" + later;
  });
  EXPECT_EQ(message, "<no error>|" + os_error("code: 27, kind: FileTooLarge, message: \"File too "
                                              "large\"",
                                              path("m.json")));
  EXPECT_TRUE(contents(path("m.json")) == old_text);
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

TEST_F(save_pipeline, abandon_keeps_the_last_complete_save_and_removes_the_rest) {
  std::mt19937_64 rng(10);
  CategoricalModel model = model_with_inputs(rng, 40000, path("m.json"));
  const Matrix first = model.layers.front().inputs;
  SavePipeline<CategoricalModel> saves;
  saves.prepare_first_input(ArrayView::of(first), path("m.json"));
  saves.save(model);
  saves.finish();
  const std::string complete = text_of(model);
  std::vector<std::string> texts = {complete};
  SavePipeline<CategoricalModel> later;
  later.prepare_first_input(ArrayView::of(first), path("m.json"));
  for (int i = 0; i < 3; ++i) {
    change_the_rest(rng, model);
    later.save(model);
    texts.push_back(text_of(model));
  }
  later.abandon();
  // Either none of the abandoned saves landed, or one landed whole.
  EXPECT_NE(std::find(texts.begin(), texts.end(), contents(path("m.json"))), texts.end());
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

// The call ends while the writer is at the newest save (a FIFO nobody reads fills up): the wait
// for it runs the hook, goes on while it returns, and its exception abandons the save.
TEST_F(save_pipeline, the_wait_for_the_writers_save_runs_the_hook) {
  ASSERT_EQ(::mkfifo(path("m.json").c_str(), 0600), 0);
  const int reader = ::open(path("m.json").c_str(), O_RDONLY | O_NONBLOCK);
  std::mt19937_64 rng(12);
  SavePipeline<CategoricalModel> saves;
  saves.save(model_with_inputs(rng, 2000, path("m.json")));
  pollfd written{reader, POLLIN, 0};
  ASSERT_EQ(::poll(&written, 1, 60000), 1);  // the writer has the save
  auto third_call_throws = [n = 0]() mutable { n < 2 ? void(++n) : throw 3; };
  ::alarm(20);  // a wait that never runs the hook ends the test here
  EXPECT_THROW(saves.finish(third_call_throws), int);
  ::alarm(0);
  ::close(reader);
}

// A destination opened O_APPEND makes copy_file_range fail with EBADF: the
// copy falls back to reading in 1 MiB blocks, with the same bytes.
TEST_F(save_pipeline, copy_from_falls_back_to_reading_with_the_same_bytes) {
  std::string source((2 << 20) + 12345, '\0');
  std::mt19937_64 rng(5);
  for (char& c : source) c = static_cast<char>(rng());
  put_file(path("src"), source);
  const int in = ::open(path("src").c_str(), O_RDONLY);
  for (const int flags : {O_WRONLY, O_WRONLY | O_APPEND}) {
    const int out = ::open(path("dst").c_str(), flags | O_CREAT | O_TRUNC, 0600);
    persistence::FileSink sink(out, "dst");
    sink.copy_from(in, 7, source.size() - 7);
    EXPECT_TRUE(contents(path("dst")) == source.substr(7)) << flags;
    EXPECT_NE(message_of([&] { sink.copy_from(in, 9, source.size()); }).find("code: 5,"),
              std::string::npos)
        << flags;
    ::close(out);
  }
  ::close(in);
}

// A two-layer classifier on a separable problem (Adam lowers its loss: every epoch from the second
// saves) whose fifth hook call breaks the next forward pass: the loop fails after the queued save.
// (The hook also runs while the last save is waited for: those calls do not count.)
TEST_F(save_pipeline, a_loop_failure_completes_the_queued_save_before_it_propagates) {
  CategoricalModel model;
  const Matrix x = random_matrix(64, 4, 3);
  Labels y(64);
  for (std::size_t i = 0; i < x.rows; ++i) y[i] = x(i, 0) > x(i, 1) ? 1 : 0;
  model.layers = {dense(4, 8, "relu"), dense(8, 2)};
  model.save_best_params = path("m.json");
  for (Layer& layer : model.layers) layer.init();
  DynamicOptimizer opt = DynamicOptimizer::create("adam", 0.01f, 0.0f);
  std::vector<std::string> texts;  // the model at each hook call
  const std::string message = message_of([&] {
    training::train(model, 40, 0, x, y, Matrix(), y, opt, [&] {
      if (texts.size() == 5) return;  // the wait for the last save
      texts.push_back(text_of(model));
      if (texts.size() == 5) model.layers[1].weights = Matrix(3, 3);
    });
  });
  EXPECT_EQ(message,
            "ndarray: inputs 64 × 8 and 3 × 3 are not compatible for matrix multiplication");
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_TRUE(contents(path("m.json")) == texts[4]);
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

}  // namespace
}  // namespace kemb::test

// The background save pipeline and the training loop's use of it: file
// bytes equal the plain writer's, failures surface, no temporary is left.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>

#include "persistence/save_pipeline.hpp"
#include "support.hpp"

namespace kemb::test {
namespace {

using persistence::ArrayView;
using persistence::SavePipeline;

class save_pipeline : public TempDirTest {};

// A model whose first layer holds `rows` x 64 inputs of every float kind,
// followed by random layers; saved to `path`.
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
  bool background;
  unsigned threads;
  std::size_t rows;  // of layer 0's inputs; 20000 x 64 crosses the split size
  bool unnamed_file;  // the first input's text prepared in an unnamed file
  int saves;  // in quick succession, each followed by check()
};

class pipeline_bytes : public save_pipeline, public ::testing::WithParamInterface<Mode> {};

TEST_P(pipeline_bytes, every_file_equals_the_plain_writers_text) {
  const Mode mode = GetParam();
  std::mt19937_64 rng(11);
  CategoricalModel model = model_with_inputs(rng, mode.rows, path("m.json"));
  SavePipeline<CategoricalModel> saves({.background = mode.background, .format_threads = mode.threads});
  const Matrix first = model.layers.front().inputs;
  if (!mode.unnamed_file) {
    // No directory to hold the unnamed file: each save formats the matrix.
    ::setenv("TMPDIR", path("missing").c_str(), 1);
    saves.prepare_first_input(ArrayView::of(first), path("not-yet/m.json"));
    ::unsetenv("TMPDIR");
  } else {
    saves.prepare_first_input(ArrayView::of(first), path("m.json"));
  }
  for (int round = 0; round < mode.saves; ++round) {
    change_the_rest(rng, model);
    saves.save(model);
    saves.check();
  }
  saves.finish();
  EXPECT_TRUE(contents(path("m.json")) == text_of(model));
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

INSTANTIATE_TEST_SUITE_P(modes, pipeline_bytes,
                         ::testing::Values(Mode{true, 1, 30, true, 5}, Mode{true, 2, 20000, false, 5},
                                           Mode{false, 3, 20000, true, 5},
                                           Mode{true, 2, 5000, true, 30}));

TEST_F(save_pipeline, a_file_that_cannot_be_created_fails_the_save_call_itself) {
  std::mt19937_64 rng(6);
  CategoricalModel model = model_with_inputs(rng, 10, path("m.json"));
  SavePipeline<CategoricalModel> saves;
  saves.save(model);
  model.save_best_params = path("missing/m.json");
  EXPECT_EQ(message_of([&] { saves.save(model); }),
            kResultPrefix + "Os { code: 2, kind: NotFound, message: \"No such file or directory\", path: \"" +
                path("missing/m.json") + "\" }");
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
  EXPECT_EQ(message,
            "<no error>|" + kResultPrefix +
                "Os { code: 27, kind: FileTooLarge, message: \"File too large\", path: \"" +
                path("m.json") + "\" }");
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
              std::string::npos) << flags;
    ::close(out);
  }
  ::close(in);
}

// A two-layer classifier on a separable problem (Adam lowers its loss, so
// every epoch from the second saves) whose fifth hook call breaks the next
// forward pass: the failure comes from the loop, after the queued save.
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
    model.train(40, 0, x, y, Matrix(), y, opt, [&] {
      texts.push_back(text_of(model));
      if (texts.size() == 5) model.layers[1].weights = Matrix(3, 3);
    });
  });
  EXPECT_EQ(message, "ndarray: inputs 64 × 8 and 3 × 3 are not compatible for matrix multiplication");
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_TRUE(contents(path("m.json")) == texts[4]);
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

}  // namespace
}  // namespace kemb::test

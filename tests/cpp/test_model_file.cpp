// Saving and loading files: the round trip, the operating system's errors
// and the atomic replace (old file kept, permission bits, links).
#include <signal.h>
#include <sys/resource.h>

#include "persistence/model_file.hpp"
#include "support.hpp"

namespace kemb::test {
namespace {

namespace fs = std::filesystem;
using persistence::load_categorical_model;
using persistence::load_linear_model;
using persistence::save;

class model_file : public TempDirTest {
 protected:
  std::string os_error(const std::string& description, const std::string& name) const {
    return kResultPrefix + "Os { " + description + ", path: \"" + name + "\" }";
  }
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

TEST_F(model_file, save_then_load_gives_the_same_models) {
  const LinearModel linear = large_model();
  save(linear, path("m.json"));
  EXPECT_EQ(contents(path("m.json")), text_of(linear));
  EXPECT_TRUE(ref::same_record(linear, load_linear_model(path("m.json"))));
  std::mt19937_64 rng(8);
  const auto categorical = ref::random_record<CategoricalModel>(rng);
  save(categorical, path("m.json"));  // replaces the linear document
  EXPECT_TRUE(ref::same_record(categorical, load_categorical_model(path("m.json"))));
  EXPECT_EQ(entries(), std::vector<std::string>{"m.json"});
}

TEST_F(model_file, load_failures_name_the_os_or_parse_error) {
  EXPECT_EQ(message_of([&] { load_linear_model(path("missing.json")); }),
            os_error("code: 2, kind: NotFound, message: \"No such file or directory\"",
                     path("missing.json")));
  EXPECT_EQ(message_of([&] { load_categorical_model(dir_.string()); }),
            kResultPrefix + "Error(\"Is a directory (os error 21)\", line: 1, column: 0)");
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
  for (auto [target, description] : {
           std::pair{path("no/such/dir/m.json"),
                     "code: 2, kind: NotFound, message: \"No such file or directory\""},
           {path("plain/m.json"), "code: 20, kind: NotADirectory, message: \"Not a directory\""},
           {dir_.string(), "code: 21, kind: IsADirectory, message: \"Is a directory\""},
           {path("loop.json"),
            "code: 40, kind: FilesystemLoop, message: \"Too many levels of symbolic links\""}}) {
    EXPECT_EQ(message_of([&] { save(LinearModel{}, target); }), os_error(description, target));
  }
  EXPECT_EQ(entries(), (std::vector<std::string>{"loop.json", "plain"}));
  EXPECT_EQ(contents(path("plain")), "not a directory");
}

// A save beyond the file size limit fails with EFBIG when SIGXFSZ is
// ignored, and is killed by it otherwise; either way the old file stays,
// and a killed save leaves a recognisable temporary file.
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
                                                "too large\"", path("m.json"))
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

}  // namespace
}  // namespace kemb::test

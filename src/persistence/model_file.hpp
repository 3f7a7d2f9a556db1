// model_file: saving a model to its path and loading it back.
//
// A save never leaves a partial document at the path: the text goes to a
// new temporary file in the target's directory, named
//   .<target name>.kemb-tmp-<pid>-<16 hex digits>
// which is flushed, closed and then renamed over the target. Readers of the
// path see the old document or the new one, and a failed save (full disk,
// file size limit, missing directory) leaves the old file byte for byte as
// it was, removes the temporary file and raises the operating system's
// error. Only a process killed in mid-save leaves a temporary file behind.
// There is no fsync: the rename protects against a killed process, not
// against a power cut.
#pragma once

#include <string>

#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "persistence/save_file.hpp"

namespace kemb::persistence {

// Writes `model` to `path` (a symbolic link is followed: the file it names is
// replaced). Fails with
//   called `Result::unwrap()` on an `Err` value: Os { code: .., kind: .., message: ".." }
void save(const LinearModel& model, const std::string& path);
void save(const CategoricalModel& model, const std::string& path);

// Reads the model at `path`. A file that cannot be opened fails as save
// does; a read or parse error fails with
//   called `Result::unwrap()` on an `Err` value: Error("<message>", line: L, column: C)
// `hook` runs while the open waits (a FIFO without a writer), when a signal
// interrupts a read, and at least every 64 MiB read or 100 ms; whatever it
// throws ends the load, and nothing of the model is kept.
LinearModel load_linear_model(const std::string& path, const InterruptHook& hook = {});
CategoricalModel load_categorical_model(const std::string& path, const InterruptHook& hook = {});

}  // namespace kemb::persistence

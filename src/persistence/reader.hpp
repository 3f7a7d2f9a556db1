// reader: LinearModel and CategoricalModel from their model file text. The
// schema drives the reading: each field is parsed straight into the record
// while the bytes stream by, so memory follows the size of the model, never
// of the text. Objects may list their keys in any order and carry unknown
// keys (skipped, still checked as JSON); a model, a layer or an array object
// may also be given as a JSON array of its field values in field order. A
// float may be written as null, which reads as NaN: that is how the writer
// stores NaN and the infinities, so every saved model loads again.
//
// Failures throw kemb::Error with the message
//   called `Result::unwrap()` on an `Err` value: Error("<message>", line: L, column: C)
// (see json_input.hpp for the position).
#pragma once

#include <string_view>

#include "model/categorical.hpp"
#include "model/linear.hpp"
#include "persistence/json_input.hpp"

namespace kemb::persistence {

LinearModel read_linear_model(std::string_view text);
CategoricalModel read_categorical_model(std::string_view text);

LinearModel read_linear_model(ByteSource& source);
CategoricalModel read_categorical_model(ByteSource& source);

}  // namespace kemb::persistence

// float_text: reading the number tokens of the model file as float32, through
// std::from_chars as a double, then rounded to float32. Writing is
// io::format_float (src/io/float_text.hpp).
#pragma once

namespace kemb::persistence {

// The float32 of a JSON number token (already checked against the JSON
// number grammar): parsed as the nearest double, then rounded to the nearest
// float32. Magnitudes beyond the float32 range give an infinity of the
// number's sign, and so do those beyond the double range; magnitudes below
// the smallest subnormal give a zero of the number's sign.
float parse_float(const char* first, const char* last) noexcept;

}  // namespace kemb::persistence

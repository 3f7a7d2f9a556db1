// Field tables: each record lists its fields once, as (name, member) pairs
// in file order, and every walk over a record (the model file writer and
// reader, the save pipeline's snapshot copy, the tests' comparisons) is
// driven by that list. A field's kind is the type of its member. Adding a
// field to a record is then one line next to the record.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>

namespace kemb {

template <typename Record, typename T>
struct Field {
  using Owner = Record;
  using Type = T;
  std::string_view name;  // the key of the field in the model file
  T Record::*member;
};

template <typename Record, typename T>
constexpr Field<Record, T> field(std::string_view name, T Record::*member) {
  return {name, member};
}

// Calls visit(field, index) for every field of `fields` (a tuple of Field), in
// order.
template <typename Fields, typename Visit>
constexpr void for_each_field(const Fields& fields, Visit&& visit) {
  std::apply(
      [&](const auto&... f) {
        std::size_t index = 0;
        (visit(f, index++), ...);
      },
      fields);
}

// Calls visit(field) for field number `index` of `fields` (nothing when
// there is no such field).
template <typename Fields, typename Visit>
constexpr void visit_field(const Fields& fields, std::size_t index, Visit&& visit) {
  for_each_field(fields, [&](const auto& f, std::size_t i) {
    if (i == index) visit(f);
  });
}

// The names of `fields`, in order.
template <typename Fields>
constexpr auto field_names(const Fields& fields) {
  std::array<std::string_view, std::tuple_size_v<Fields>> names{};
  for_each_field(fields, [&](const auto& f, std::size_t i) { names[i] = f.name; });
  return names;
}

}  // namespace kemb

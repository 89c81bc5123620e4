// Reading of one record (forest, tree or node) in either of the two accepted
// forms: an object whose members may come in any order (unknown ones are
// skipped), or an array holding the values in field order.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "model_file/json_reader.h"

namespace corvane::model_file {

// Calls read_field(i) with the cursor at the value of field i, once per field.
// Faults: "invalid type: <found>, expected struct <record>",
// "invalid length N, expected struct <record> with M elements",
// "trailing characters" (array form with too many values),
// "duplicate field `K`", "missing field `K`".
template <class ReadField>
void read_record(JsonReader& reader, std::string_view record,
                 std::span<const std::string_view> fields, ReadField&& read_field);

// The same, offering every member of the object form that is no field to
// read_unknown(key) with the cursor at its value: it reads the value and
// returns true, or returns false (and reads nothing) to have it skipped.
template <class ReadField, class ReadUnknown>
void read_record(JsonReader& reader, std::string_view record,
                 std::span<const std::string_view> fields, ReadField&& read_field,
                 ReadUnknown&& read_unknown);

}  // namespace corvane::model_file

#include "model_file/record_reader_impl.h"

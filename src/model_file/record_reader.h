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

// The widest record of the model file has 12 fields; a fixed bitset keeps
// the bookkeeping of "seen" off the heap for the millions of node records.
inline constexpr std::size_t kMaxRecordFields = 16;

// Calls read_field(i) with the cursor at the value of field i, once per field
// of `count`, whose names name_of(i) gives. Every member of the object form
// that is no field goes to read_unknown(key) with the cursor at its value: it
// reads the value and returns true, or returns false (and reads nothing) to
// have it skipped.
// Faults: "invalid type: <found>, expected struct <record>",
// "invalid length N, expected struct <record> with M elements",
// "trailing characters" (array form with too many values),
// "duplicate field `K`", "missing field `K`".
template <class NameOf, class ReadField, class ReadUnknown>
void read_fields(JsonReader& reader, std::string_view record, std::size_t count, NameOf&& name_of,
                 ReadField&& read_field, ReadUnknown&& read_unknown);

// The same for fields named by a list; unknown members are skipped.
template <class ReadField>
void read_record(JsonReader& reader, std::string_view record,
                 std::span<const std::string_view> fields, ReadField&& read_field);

}  // namespace corvane::model_file

#include "model_file/record_reader_impl.h"

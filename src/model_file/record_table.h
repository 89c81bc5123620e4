// A record of the model file as one table of fields, each named once with
// its writer and its reader: the order of the table is the order in which
// fields are written and the order of the array form, and the reader takes
// either form with every fault of read_record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model_file/json_reader.h"
#include "model_file/json_writer.h"
#include "model_file/record_reader.h"

namespace corvane::model_file {

template <class Record>
struct RecordField {
  std::string_view name;
  void (*write)(JsonWriter& out, const Record& record);
  // With the cursor at the field's value.
  void (*read)(JsonReader& in, Record& record);
};

// The values that plain fields hold, as the model file writes and reads them.
inline void write_value(JsonWriter& out, std::int32_t v) { out.value_i64(v); }
inline void write_value(JsonWriter& out, std::uint64_t v) { out.value_u64(v); }
inline void write_value(JsonWriter& out, bool v) { out.value_bool(v); }
inline void write_value(JsonWriter& out, double v) { out.value_f64(v); }
inline void write_value(JsonWriter& out, const std::string& v) { out.value_string(v); }
template <class T>
void write_value(JsonWriter& out, const std::vector<T>& values) {
  out.begin_array();
  for (const T& v : values) write_value(out, v);
  out.end_array();
}

inline void read_value(JsonReader& in, std::int32_t& v) { v = in.read_i32(); }
inline void read_value(JsonReader& in, std::uint64_t& v) { v = in.read_u64(); }
inline void read_value(JsonReader& in, bool& v) { v = in.read_bool(); }
inline void read_value(JsonReader& in, double& v) { v = in.read_f64(); }
inline void read_value(JsonReader& in, std::string& v) { in.read_string(v); }
template <class T>
void read_value(JsonReader& in, std::vector<T>& values) {
  values.clear();
  in.begin_array("a sequence");
  while (in.next_element()) read_value(in, values.emplace_back());
}

template <class MemberPointer>
struct MemberOf;
template <class R, class V>
struct MemberOf<V R::*> {
  using Record = R;
};

// The field `name` held by a plain member: member<&Tree::max_depth>("max_depth").
// `Record` may be a class derived from the member's own.
template <auto Member, class Record = typename MemberOf<decltype(Member)>::Record>
constexpr RecordField<Record> member(std::string_view name) {
  return {name, [](JsonWriter& out, const Record& r) { write_value(out, r.*Member); },
          [](JsonReader& in, Record& r) { read_value(in, r.*Member); }};
}

// The record's fields as members of the object being written.
template <class Record, std::size_t N>
void write_fields(JsonWriter& out, const Record& record,
                  const std::array<RecordField<Record>, N>& fields) {
  for (const RecordField<Record>& field : fields) {
    out.key(field.name);
    field.write(out, record);
  }
}

template <class Record, std::size_t N>
void write_record(JsonWriter& out, const Record& record,
                  const std::array<RecordField<Record>, N>& fields) {
  out.begin_object();
  write_fields(out, record, fields);
  out.end_object();
}

// Reads `record` (named `record_name` in faults) in either form; members of
// the object form that are no field go to read_unknown(key) as read_record
// says.
template <class Record, std::size_t N, class ReadUnknown>
void read_record(JsonReader& in, std::string_view record_name,
                 const std::array<RecordField<Record>, N>& fields, Record& record,
                 ReadUnknown&& read_unknown) {
  static_assert(N <= kMaxRecordFields);
  read_fields(
      in, record_name, N, [&](std::size_t i) { return fields[i].name; },
      [&](std::size_t i) { fields[i].read(in, record); }, read_unknown);
}

template <class Record, std::size_t N>
void read_record(JsonReader& in, std::string_view record_name,
                 const std::array<RecordField<Record>, N>& fields, Record& record) {
  read_record(in, record_name, fields, record, [](const std::string&) { return false; });
}

}  // namespace corvane::model_file

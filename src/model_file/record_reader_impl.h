// Body of read_record; included from record_reader.h only.
#pragma once

#include <bitset>
#include <stdexcept>
#include <string>

#include "core/error_msg.h"

namespace corvane::model_file {

// The widest record of the model file has 12 fields; a fixed bitset keeps
// the bookkeeping of "seen" off the heap for the millions of node records.
inline constexpr std::size_t kMaxRecordFields = 16;

template <class ReadField>
void read_record(JsonReader& reader, std::string_view record,
                 std::span<const std::string_view> fields, ReadField&& read_field) {
  read_record(reader, record, fields, read_field, [](const std::string&) { return false; });
}

template <class ReadField, class ReadUnknown>
void read_record(JsonReader& reader, std::string_view record,
                 std::span<const std::string_view> fields, ReadField&& read_field,
                 ReadUnknown&& read_unknown) {
  if (fields.size() > kMaxRecordFields) {
    throw std::logic_error("read_record: too many fields in " + std::string(record));
  }
  switch (reader.peek_value()) {
    case JsonReader::Kind::Object: {
      reader.begin_object(record);
      std::bitset<kMaxRecordFields> seen;
      std::string key;
      while (reader.next_member(key)) {
        std::size_t index = 0;
        while (index < fields.size() && fields[index] != key) ++index;
        if (index == fields.size()) {
          if (!read_unknown(key)) reader.skip_value();
          continue;
        }
        if (seen[index]) reader.fail(msg::duplicate_field(key), reader.key_start());
        seen[index] = true;
        read_field(index);
      }
      for (std::size_t index = 0; index < fields.size(); ++index) {
        if (!seen[index]) {
          reader.fail(msg::missing_field(fields[index]), reader.close_offset());
        }
      }
      return;
    }
    case JsonReader::Kind::Array: {
      reader.begin_array(record);
      for (std::size_t index = 0; index < fields.size(); ++index) {
        if (!reader.next_element()) {
          reader.fail(msg::struct_too_short(index, record, fields.size()), reader.close_offset());
        }
        read_field(index);
      }
      // next_element leaves the cursor on the extra element's first byte.
      if (reader.next_element()) reader.fail(msg::kJsonTrailingCharacters, reader.offset());
      return;
    }
    default:
      reader.fail_invalid_type("struct " + std::string(record));
  }
}

}  // namespace corvane::model_file

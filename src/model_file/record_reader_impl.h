// Body of read_fields; included from record_reader.h only.
#pragma once

#include <bitset>
#include <stdexcept>
#include <string>

#include "core/error_msg.h"

namespace corvane::model_file {

template <class NameOf, class ReadField, class ReadUnknown>
void read_fields(JsonReader& reader, std::string_view record, std::size_t count, NameOf&& name_of,
                 ReadField&& read_field, ReadUnknown&& read_unknown) {
  if (count > kMaxRecordFields) {
    throw std::logic_error("read_record: too many fields in " + std::string(record));
  }
  switch (reader.peek_value()) {
    case JsonReader::Kind::Object: {
      reader.begin_object(record);
      std::bitset<kMaxRecordFields> seen;
      std::string key;
      while (reader.next_member(key)) {
        std::size_t index = 0;
        while (index < count && name_of(index) != key) ++index;
        if (index == count) {
          if (!read_unknown(key)) reader.skip_value();
          continue;
        }
        if (seen[index]) reader.fail(msg::duplicate_field(key), reader.key_start());
        seen[index] = true;
        read_field(index);
      }
      for (std::size_t index = 0; index < count; ++index) {
        if (!seen[index]) {
          reader.fail(msg::missing_field(name_of(index)), reader.close_offset());
        }
      }
      return;
    }
    case JsonReader::Kind::Array: {
      reader.begin_array(record);
      for (std::size_t index = 0; index < count; ++index) {
        if (!reader.next_element()) {
          reader.fail(msg::struct_too_short(index, record, count), reader.close_offset());
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

template <class ReadField>
void read_record(JsonReader& reader, std::string_view record,
                 std::span<const std::string_view> fields, ReadField&& read_field) {
  read_fields(
      reader, record, fields.size(), [&](std::size_t i) { return fields[i]; }, read_field,
      [](const std::string&) { return false; });
}

}  // namespace corvane::model_file

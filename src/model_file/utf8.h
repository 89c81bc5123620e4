#pragma once

#include <string_view>

namespace corvane::model_file {

// Well-formed UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool is_valid_utf8(std::string_view text);

}  // namespace corvane::model_file

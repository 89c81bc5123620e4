#include "lib/binding_msg.h"

namespace corvane::msg {

std::string all_roots_nan_gain(std::int32_t group, std::int32_t rows) {
  return "every tree is a single leaf: each candidate split of the root scored NaN because one "
         "side held no rows of some treatment group; the smallest group, treatment code " +
         std::to_string(group) + ", has only " + std::to_string(rows) +
         " rows (gather more rows of it or leave it out)";
}

std::string too_many_positional(std::string_view callable, std::size_t max, std::size_t given) {
  std::string text(callable);
  text += " takes " + std::to_string(max) + " positional arguments but " + std::to_string(given);
  text += given == 1 ? " was given" : " were given";
  return text;
}

std::string multiple_values(std::string_view callable, std::string_view param) {
  std::string text(callable);
  text.append(" got multiple values for argument '").append(param).append("'");
  return text;
}

std::string unexpected_keyword(std::string_view callable, std::string_view name) {
  std::string text(callable);
  text.append(" got an unexpected keyword argument '").append(name).append("'");
  return text;
}

std::string missing_arguments(std::string_view callable, const std::vector<const char*>& names) {
  std::string text(callable);
  if (names.size() == 1) {
    text.append(" missing 1 required positional argument: '").append(names[0]).append("'");
    return text;
  }
  text += " missing " + std::to_string(names.size()) + " required positional arguments: ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " " : ", ";
    if (i + 1 == names.size()) text += "and ";
    text.append("'").append(names[i]).append("'");
  }
  return text;
}

std::string cannot_convert(std::string_view type_name, std::string_view target) {
  std::string text = "'";
  text.append(type_name).append("' object cannot be converted to '").append(target).append("'");
  return text;
}

std::string argument_error(std::string_view param, std::string_view cause) {
  std::string text = "argument '";
  text.append(param).append("': ").append(cause);
  return text;
}

std::string split_value_not_extracted(std::string_view numeric_error, std::string_view str_error) {
  std::string text =
      "TypeError: failed to extract enum SplitValue ('Numeric | Str')\n- variant Numeric "
      "(Numeric): failed to extract field SplitValue::Numeric.0, caused by ";
  text.append(numeric_error);
  text.append("\n- variant Str (Str): failed to extract field SplitValue::Str.0, caused by ");
  text.append(str_error);
  return text;
}

}  // namespace corvane::msg

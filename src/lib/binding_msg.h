// Texts that only the binding raises: argument binding and conversion errors,
// borrow conflicts, the exception class's name and docstring. Like the core's
// texts (core/error_msg.h) they are what stored callers match on, so they are
// kept byte for byte.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::msg {

// RuntimeWarning of a fit whose every tree stayed a single leaf because every
// candidate split of the root scored NaN.
inline std::string all_roots_nan_gain(std::int32_t group, std::int32_t rows) {
  return "every tree is a single leaf: each candidate split of the root scored NaN because one "
         "side held no rows of some treatment group; the smallest group, treatment code " +
         std::to_string(group) + ", has only " + std::to_string(rows) +
         " rows (gather more rows of it or leave it out)";
}

// Argument binding and conversion (TypeError / OverflowError).
inline constexpr const char kTakesPositional1[] = " takes ";
inline constexpr const char kTakesPositional2[] = " positional arguments but ";
inline constexpr const char kUnexpectedKeyword[] = " got an unexpected keyword argument '";
inline constexpr const char kMultipleValues[] = " got multiple values for argument '";
inline constexpr const char kMissingArgument[] = " missing 1 required positional argument: ";
inline constexpr const char kMissingArguments1[] = " missing ";
inline constexpr const char kMissingArguments2[] = " required positional arguments: ";
inline constexpr const char kCannotConvert1[] = "'";
inline constexpr const char kCannotConvert2[] = "' object cannot be converted to '";
inline constexpr const char kUnknownTypeName[] = "<failed to extract type name>";
inline constexpr const char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr const char kArgumentPrefix[] = "argument '";
inline constexpr const char kOutOfRangeIntegral[] =
    "out of range integral type conversion attempted";
// A prediction cell that is neither a number nor a str: what each variant's
// conversion said.
inline std::string split_value_not_extracted(const std::string& numeric_error,
                                             const std::string& str_error) {
  return "TypeError: failed to extract enum SplitValue ('Numeric | Str')"
         "\n- variant Numeric (Numeric): failed to extract field SplitValue::Numeric.0, caused "
         "by " +
         numeric_error +
         "\n- variant Str (Str): failed to extract field SplitValue::Str.0, caused by " + str_error;
}

// Borrowing the model for a call.
inline constexpr const char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";

inline constexpr const char kInitOnce[] =
    "corvane may only be initialized once per interpreter process";

// PanicException.
inline constexpr const char kPanicExceptionName[] = "pyo3_runtime.PanicException";
inline constexpr const char kPanicExceptionDoc[] =
    "\nThe exception raised when the native code of corvane fails.\n\nLike SystemExit, this "
    "exception is derived from BaseException so that\nit will typically propagate all the way "
    "through the stack and cause the\nPython interpreter to exit.\n";

}  // namespace corvane::msg

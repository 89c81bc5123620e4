// Texts that only the binding raises: argument binding and conversion errors,
// borrow conflicts, the exception class's name and docstring. Like the core's
// texts (core/error_msg.h) they are what stored callers match on, so they are
// kept byte for byte; a text with parameters is built by one function here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::msg {

// RuntimeWarning of a fit whose every tree stayed a single leaf because every
// candidate split of the root scored NaN: "every tree is a single leaf: ...;
// the smallest group, treatment code <group>, has only <rows> rows (...)"
std::string all_roots_nan_gain(std::int32_t group, std::int32_t rows);

// Argument binding (TypeError). `callable` is the display name, e.g.
// "_UpliftRandomForestModel.fit()".
// "<callable> takes <max> positional arguments but <given> was/were given"
std::string too_many_positional(std::string_view callable, std::size_t max, std::size_t given);
// "<callable> got multiple values for argument '<param>'"
std::string multiple_values(std::string_view callable, std::string_view param);
// "<callable> got an unexpected keyword argument '<name>'"
std::string unexpected_keyword(std::string_view callable, std::string_view name);
// "<callable> missing 1 required positional argument: 'a'", or for more
// "<callable> missing 3 required positional arguments: 'a', 'b', and 'c'"
std::string missing_arguments(std::string_view callable, const std::vector<const char*>& names);

// Argument conversion (TypeError / OverflowError).
// "'<type>' object cannot be converted to '<target>'"
std::string cannot_convert(std::string_view type_name, std::string_view target);
// "argument '<param>': <cause>"
std::string argument_error(std::string_view param, std::string_view cause);
inline constexpr const char kUnknownTypeName[] = "<failed to extract type name>";
inline constexpr const char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr const char kOutOfRangeIntegral[] =
    "out of range integral type conversion attempted";
// A prediction cell that is neither a number nor a str: what each variant's
// conversion said.
std::string split_value_not_extracted(std::string_view numeric_error, std::string_view str_error);

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

// Every text that corvane can show its users, in one place: messages of the
// stops raised as PanicException, of argument errors, and progress lines.
// Texts here are part of the interface; change none of them lightly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace corvane::msg {

// Stops that carry a fixed text.
inline constexpr const char kUnwrapNone[] = "called `Option::unwrap()` on a `None` value";
inline constexpr const char kUnwrapErr[] = "called `Result::unwrap()` on an `Err` value";
inline constexpr const char kUnwrapErrPrefix[] = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr const char kBadColumnType[] = "BAD type of column: ";
inline constexpr const char kTooFewGroups[] = "assertion failed: v.len() % 2 == 0 && v.len() >= 4";
inline constexpr const char kBadEvalFunc[] = "bad eval func";
inline constexpr const char kNoPoolThreads[] = "assertion failed: num_threads > 0";
inline constexpr const char kSpawnFailed[] = "failed to spawn thread";
inline constexpr const char kNotF64[] = "not f64";
inline constexpr const char kNotStr[] = "not str";
inline constexpr const char kRowLength[] = "assertion failed: data[0].len() == self.feature_cols.len()";
inline constexpr const char kTreeCount[] = "assertion failed: count == self.n_estimators";
inline constexpr const char kOutOfRangeIntegral[] = "out of range integral type conversion attempted";
inline constexpr const char kMemoryAllocationFailed[] = "memory allocation failed";

// Index errors: kIndexOutOfBounds1 + len + kIndexOutOfBounds2 + index.
inline constexpr const char kIndexOutOfBounds1[] = "index out of bounds: the len is ";
inline constexpr const char kIndexOutOfBounds2[] = " but the index is ";

// Data checks that keep unsound input out of the column store.
inline constexpr const char kNegativeTreatment1[] = "treatment column '";
inline constexpr const char kNegativeTreatment2[] = "' holds the negative treatment code ";
inline constexpr const char kNegativeTreatment3[] =
    "; treatment codes are 0 for the control group and 1, 2, ... for the treatments";
inline constexpr const char kColumnLength1[] = "column '";
inline constexpr const char kColumnLength2[] = "' has ";
inline constexpr const char kColumnLength3[] = " values but treatment column '";
inline constexpr const char kColumnLength4[] = "' has ";
inline constexpr const char kColumnLength5[] = "; every column needs one value per row";
inline constexpr const char kTooManyRows[] =
    "the data set has more rows than a 32-bit group count can hold (2147483647)";
inline constexpr const char kMaxDepthTooLarge1[] = "max_depth ";
inline constexpr const char kMaxDepthTooLarge2[] =
    " is too large: a tree of that depth has more than 2^64 node positions, which no memory can "
    "hold; use a max_depth of at most 63";

// "3.1 TB", "80 GB", "512 bytes": decimal units, one decimal below ten.
inline std::string human_size(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  double value = static_cast<double>(bytes) / 1000.0;
  int unit = 0;
  while (value >= 999.95 && unit < 5) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 9.95 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text;
}

// Saving: the whole text is measured before anything is written.
inline std::string model_file_too_large(std::uint64_t bytes, const std::string& dir,
                                        std::uint64_t free_bytes) {
  return "the model file would take " + human_size(bytes) + " (" + std::to_string(bytes) +
         " bytes) but the file system holding '" + dir + "' has only " + human_size(free_bytes) +
         " free; nothing was written";
}
inline std::string model_file_size_overflow() {
  return "the model file would take more than " + std::to_string(UINT64_MAX) +
         " bytes, more than any file system can hold; nothing was written";
}

// Loading from a stream (FIFO, device), which might never end.
inline std::string stream_not_a_model(const std::string& path, std::uint64_t bytes) {
  return "'" + path + "' is not a regular file, and the first " + std::to_string(bytes) +
         " bytes it gave cannot begin a model file (which begins with '{' or '['); stopped "
         "reading";
}
inline std::string stream_too_long(const std::string& path, std::uint64_t limit) {
  return "'" + path + "' is not a regular file and gave more than " + std::to_string(limit) +
         " bytes (" + human_size(limit) +
         ") without ending, more than a model file read from a stream may take; stopped reading";
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

// SplitValue conversion of a prediction cell.
inline constexpr const char kSplitValueExtract[] =
    "failed to extract enum SplitValue ('Numeric | Str')";

// Model file reading: syntax faults.
inline constexpr const char kJsonEofList[] = "EOF while parsing a list";
inline constexpr const char kJsonEofObject[] = "EOF while parsing an object";
inline constexpr const char kJsonEofString[] = "EOF while parsing a string";
inline constexpr const char kJsonEofValue[] = "EOF while parsing a value";
inline constexpr const char kJsonExpectedColon[] = "expected `:`";
inline constexpr const char kJsonExpectedListComma[] = "expected `,` or `]`";
inline constexpr const char kJsonExpectedObjectComma[] = "expected `,` or `}`";
inline constexpr const char kJsonExpectedIdent[] = "expected ident";
inline constexpr const char kJsonExpectedValue[] = "expected value";
inline constexpr const char kJsonInvalidEscape[] = "invalid escape";
inline constexpr const char kJsonInvalidNumber[] = "invalid number";
inline constexpr const char kJsonNumberOutOfRange[] = "number out of range";
inline constexpr const char kJsonInvalidCodePoint[] = "invalid unicode code point";
inline constexpr const char kJsonControlCharacter[] = "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr const char kJsonKeyMustBeString[] = "key must be a string";
inline constexpr const char kJsonLoneLeadingSurrogate[] = "lone leading surrogate in hex escape";
inline constexpr const char kJsonTrailingComma[] = "trailing comma";
inline constexpr const char kJsonEndOfHexEscape[] = "unexpected end of hex escape";
inline constexpr const char kJsonTrailingCharacters[] = "trailing characters";
inline constexpr const char kJsonRecursionLimit[] = "recursion limit exceeded";

// Model file reading: data faults. Texts in `backquotes` name the offending
// field or value; the pieces around them are below.
inline constexpr const char kJsonInvalidType[] = "invalid type: ";
inline constexpr const char kJsonInvalidValue[] = "invalid value: ";
inline constexpr const char kJsonExpected[] = ", expected ";
inline constexpr const char kJsonDuplicateField[] = "duplicate field `";
inline constexpr const char kJsonMissingField[] = "missing field `";
inline constexpr const char kJsonInvalidLength[] = "invalid length ";
inline constexpr const char kJsonExpectedStruct[] = ", expected struct ";
inline constexpr const char kJsonStructElements[] = " elements";
inline constexpr const char kJsonUnknownVariant[] = "unknown variant `";
inline constexpr const char kJsonEvalFuncVariants[] = "`, expected one of `Euclidean`, `KL`, `Chi`";
inline constexpr const char kJsonSplitValueVariants[] = "`, expected `Numeric` or `Str`";
inline constexpr const char kJsonUnitVariant[] = "invalid type: unit variant, expected newtype variant";
inline constexpr const char kJsonEnumEmpty[] = "invalid length 0, expected map with a single key";
inline constexpr const char kJsonEnumTooLong[] = "invalid length 2, expected map with a single key";
inline constexpr const char kInvalidUtf8[] =
    "Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\" }";
inline constexpr const char kNulInPath[] =
    "Custom { kind: InvalidInput, error: \"file name contained an unexpected NUL byte\" }";

// Progress lines.
inline constexpr const char kStartTraining1[] = "Start training with ";
inline constexpr const char kStartTraining2[] = " threads...";
inline constexpr const char kTreeFinished1[] = "Tree [";
inline constexpr const char kTreeFinished2[] = "] is finished!";

}  // namespace corvane::msg

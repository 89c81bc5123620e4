// Every text that corvane can show its users, in one place: messages of the
// stops raised as PanicException, of argument errors, and progress lines.
// Texts here are part of the interface; change none of them lightly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// Every unreached node of a deep tree is written out; the text of a very deep
// tree cannot be held in memory (the count saturates at 2^64 - 1).
inline constexpr const char kModelTextTooLarge1[] = "memory allocation of at least ";
inline constexpr const char kModelTextTooLarge2[] =
    " bytes failed: the model file text is too large to build in memory";
inline constexpr const char kMaxDepthTooLarge1[] = "max_depth ";
inline constexpr const char kMaxDepthTooLarge2[] =
    " is too large: a tree of that depth has more than 2^64 node positions, which no memory can "
    "hold; use a max_depth of at most 63";

// "outcome column '<col>' holds the value <value>; outcomes must be 0 or 1"
inline std::string outcome_not_binary(std::string_view outcome_col, int value) {
  return "outcome column '" + std::string(outcome_col) + "' holds the value " +
         std::to_string(value) + "; outcomes must be 0 or 1";
}

// "treatment column '<col>' has no rows with treatment code <code>; ..."
inline std::string treatment_code_missing(std::string_view treatment_col, std::int64_t code) {
  return "treatment column '" + std::string(treatment_col) + "' has no rows with treatment code " +
         std::to_string(code) +
         "; treatment codes must run 0, 1, 2, ... without gaps, with 0 for the control group";
}

// "the model holds trees trained on features ['a', 'b'] but fit was given
// ['b', 'a']; fit a new model to train on other features"
inline std::string name_list(const std::vector<std::string>& names) {
  std::string text = "[";
  for (std::size_t i = 0; i < names.size(); ++i) text += (i ? ", '" : "'") + names[i] + "'";
  return text + "]";
}
inline std::string features_differ(const std::vector<std::string>& held,
                                   const std::vector<std::string>& given) {
  return "the model holds trees trained on features " + name_list(held) + " but fit was given " +
         name_list(given) + "; fit a new model to train on other features";
}

// "the model holds trees trained on treatment codes 0 to <held> but fit was
// given codes 0 to <given>; fit a new model to train on other treatment groups"
inline std::string treatment_groups_differ(std::size_t held, std::size_t given) {
  return "the model holds trees trained on treatment codes 0 to " + std::to_string(held) +
         " but fit was given codes 0 to " + std::to_string(given) +
         "; fit a new model to train on other treatment groups";
}

// The warning of a fit whose every tree stayed a single leaf because every
// split of the root scored NaN.
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

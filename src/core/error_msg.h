// Every text the core stops with or prints, named by what it means. The exact
// texts are the messages that stored callers match on (scripts that catch a
// failure and test its text, logs that are searched), so each is kept byte for
// byte; a message with parameters is built by one function here, never
// pieced together where it is raised.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace corvane::msg {

// Stops that carry a fixed text.
inline constexpr const char kUnwrapNone[] = "called `Option::unwrap()` on a `None` value";
inline constexpr const char kTooFewGroups[] = "assertion failed: v.len() % 2 == 0 && v.len() >= 4";
inline constexpr const char kBadEvalFunc[] = "bad eval func";
inline constexpr const char kNoPoolThreads[] = "assertion failed: num_threads > 0";
inline constexpr const char kSpawnFailed[] = "failed to spawn thread";
inline constexpr const char kNotF64[] = "not f64";
inline constexpr const char kNotStr[] = "not str";
inline constexpr const char kRowLength[] =
    "assertion failed: data[0].len() == self.feature_cols.len()";
inline constexpr const char kTreeCount[] = "assertion failed: count == self.n_estimators";
inline constexpr const char kMemoryAllocationFailed[] = "memory allocation failed";
inline constexpr const char kTooManyCategories[] =
    "a feature column of the model tests more category texts than prediction can index";
inline constexpr const char kTooManyRows[] =
    "the data set has more rows than a 32-bit group count can hold (2147483647)";

// "called `Result::unwrap()` on an `Err` value: <detail>"
std::string unwrap_err(std::string_view detail);

// "BAD type of column: <column>"
std::string bad_column_type(std::string_view column);

// "index out of bounds: the len is <len> but the index is <index>"
// (any integer type for the index; the text is built out of line, away from
// the walks that check bounds).
std::string index_out_of_bounds_signed(std::uint64_t len, std::int64_t index);
std::string index_out_of_bounds_unsigned(std::uint64_t len, std::uint64_t index);
template <std::integral Index>
std::string index_out_of_bounds(std::uint64_t len, Index index) {
  if constexpr (std::is_signed_v<Index>) {
    return index_out_of_bounds_signed(len, index);
  } else {
    return index_out_of_bounds_unsigned(len, index);
  }
}

// Data checks that keep unsound input out of the column store.
std::string negative_treatment_code(std::string_view treatment_col, std::int64_t code);
std::string column_length_mismatch(std::string_view column, std::size_t length,
                                   std::string_view treatment_col, std::size_t rows);
// "outcome column '<col>' holds the value <value>; outcomes must be 0 or 1"
std::string outcome_not_binary(std::string_view outcome_col, std::int64_t value);
// "outcome column '<col>' holds <value> in row <row>; outcomes must be finite
// numbers"
std::string outcome_not_finite(std::string_view outcome_col, std::size_t row, double value);
// "criterion <name> does not apply to a real-valued outcome: it compares
// rates of a 0/1 outcome; ED or CTS compare means"
std::string criterion_needs_binary(std::string_view name);
// "treatment column '<col>' has no rows with treatment code <code>; treatment
// codes must run 0, 1, 2, ... without gaps, with 0 for the control group"
std::string treatment_code_missing(std::string_view treatment_col, std::int64_t code);

// A fit whose data is shaped unlike the trees held:
// "the model holds trees trained on features ['a', 'b'] but fit was given
// ['b', 'a']; fit a new model to train on other features"
std::string features_differ(const std::vector<std::string>& held,
                            const std::vector<std::string>& given);
// "the model holds trees trained on treatment codes 0 to <held> but fit was
// given codes 0 to <given>; fit a new model to train on other treatment groups"
std::string treatment_groups_differ(std::int64_t held, std::int64_t given);

std::string max_depth_too_large(std::uint64_t max_depth);

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
inline constexpr const char kJsonControlCharacter[] =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr const char kJsonKeyMustBeString[] = "key must be a string";
inline constexpr const char kJsonLoneLeadingSurrogate[] = "lone leading surrogate in hex escape";
inline constexpr const char kJsonTrailingComma[] = "trailing comma";
inline constexpr const char kJsonEndOfHexEscape[] = "unexpected end of hex escape";
inline constexpr const char kJsonTrailingCharacters[] = "trailing characters";
inline constexpr const char kJsonRecursionLimit[] = "recursion limit exceeded";

// Model file reading: data faults.
inline constexpr const char kJsonUnitVariant[] =
    "invalid type: unit variant, expected newtype variant";
inline constexpr const char kJsonEnumEmpty[] = "invalid length 0, expected map with a single key";
inline constexpr const char kJsonEnumTooLong[] = "invalid length 2, expected map with a single key";
// "invalid type: <found>, expected <expected>"
std::string invalid_type(std::string_view found, std::string_view expected);
// "invalid value: <found>, expected <expected>"
std::string invalid_value(std::string_view found, std::string_view expected);
// "duplicate field `<key>`"
std::string duplicate_field(std::string_view key);
// "missing field `<key>`"
std::string missing_field(std::string_view key);
// "invalid length <length>, expected struct <record> with <fields> elements"
std::string struct_too_short(std::size_t length, std::string_view record, std::size_t fields);
// A tag that names none of an enum's variants:
// "unknown variant `<name>`, expected `A`", "... expected `A` or `B`",
// "... expected one of `A`, `B`, `C`" (tree records' split values and
// criteria).
std::string unknown_variant(std::string_view name, std::span<const std::string_view> variants);

// "3.1 TB", "80 GB", "512 bytes": decimal units, one decimal below ten.
std::string human_size(std::uint64_t bytes);

// Saving measures the whole text before it writes anything.
// "the model file would take <size> (<bytes> bytes) but the file system
// holding '<dir>' has only <size> free; nothing was written"
std::string model_file_too_large(std::uint64_t bytes, std::string_view dir,
                                 std::uint64_t free_bytes);
// "the model file would take more than 18446744073709551615 bytes, more than
// any file system can hold; nothing was written"
std::string model_file_size_overflow();

// Loading from a stream (FIFO, device), which might never end.
// "'<path>' is not a regular file, and the first <bytes> bytes it gave cannot
// begin a model file (which begins with '{' or '['); stopped reading"
std::string stream_not_a_model(std::string_view path, std::uint64_t bytes);
// "'<path>' is not a regular file and gave more than <limit> bytes (<size>)
// without ending, more than a model file read from a stream may take;
// stopped reading"
std::string stream_too_long(std::string_view path, std::uint64_t limit);

// Model file access.
inline constexpr const char kInvalidUtf8[] =
    "Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\" }";
inline constexpr const char kNulInPath[] =
    "Custom { kind: InvalidInput, error: \"file name contained an unexpected NUL byte\" }";

// The estimator's forest and its part of the model file.
inline constexpr const char kNoTrees[] = "the model holds no trees";
inline constexpr const char kNoNodeCounts[] =
    "the model keeps no row counts per node (it comes from a model file of the corvane "
    "extension, which has no place for them)";
inline constexpr const char kModelTextNotUtf8[] = "the file is not UTF-8 text";
// "the text is no model file: <fault> (line <line>, column <column>)"
std::string model_text_fault(std::string_view fault, std::size_t line, std::size_t column);
// "the trees of the model disagree on <what>"
std::string trees_disagree(std::string_view what);
// "the estimator's part of the model file is damaged: <what>"
std::string estimator_part_damaged(std::string_view what);
// "feature <index> ('<name>') is tested both as numbers and as categories"
std::string feature_kind_conflict(std::size_t index, std::string_view name);
// "a feature's \"kind\" is neither \"numeric\" nor \"categorical\"", for the
// names of every kind.
std::string unknown_feature_kind(std::span<const std::string_view> names);
// "unknown importance type '<type>'; expected 'gain' or 'split'"
std::string unknown_importance_type(std::string_view type);
// "category <text> occurs twice among the categories of feature '<name>'"
std::string duplicate_category(std::string_view name, std::string_view text);
// "tree <index> cannot be explained: <why>" (Shapley values of a tree whose
// shape or covers do not allow them)
std::string tree_not_explainable(std::size_t index, std::string_view why);

// Progress lines.
// "Start training with <n_threads> threads..."
std::string start_training(std::int32_t n_threads);
// "Tree [<k>] is finished!"
std::string tree_finished(std::size_t k);

}  // namespace corvane::msg

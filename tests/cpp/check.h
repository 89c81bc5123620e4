// Minimal test harness for the C++ tests; no outside dependency.
//
// Writing a test (in any tests/cpp/test_*.cpp):
//
//   #include "check.h"
//
//   TEST(parses_small_integers) {
//     CHECK(1 + 1 == 2);
//     CHECK_EQ(std::string("a") + "b", "ab");
//     CHECK_THROWS(std::stoi("x"), std::invalid_argument);
//     CHECK_THROWS_WITH(throw std::runtime_error("boom"), std::runtime_error, "boom");
//   }
//
// Test names must be unique across all files (they become function names).
// A failed check prints "file:line: ..." and the test goes on; a test fails
// when any of its checks failed or it threw. The binary runs every test, or
// only those whose name contains argv[1], and its last output line is
// "N passed, M failed"; the exit status is non-zero when M > 0. `--list
// [FILTER]` prints the names instead and `--exact NAME` runs one test (CTest
// registers each case this way).
#pragma once

#include <concepts>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace corvane::test {

using TestFunction = void (*)();

// Adds a test to the run list; used by TEST at static initialisation.
struct Registrar {
  Registrar(const char* name, TestFunction function);
};

// Marks the running test as failed and prints where and why.
void record_failure(const char* file, int line, const std::string& what);

template <class T>
std::string describe(const T& value) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    // Quoted, so that empty strings and trailing spaces are visible.
    std::string text = "\"";
    text.append(std::string_view(value));
    text.push_back('"');
    return text;
  } else if constexpr (std::is_same_v<T, char> || std::is_same_v<T, signed char> ||
                       std::is_same_v<T, unsigned char>) {
    return std::to_string(static_cast<int>(value));
  } else if constexpr (requires(std::ostream& os) { os << value; }) {
    std::ostringstream os;
    os.precision(17);
    os << value;
    return os.str();
  } else {
    return "<value>";
  }
}

template <class A, class B>
void check_eq(const A& actual, const B& expected, const char* actual_text,
              const char* expected_text, const char* file, int line) {
  if (actual == expected) return;
  record_failure(file, line,
                 std::string("CHECK_EQ(") + actual_text + ", " + expected_text + "): got " +
                     describe(actual) + ", expected " + describe(expected));
}

}  // namespace corvane::test

#define CORVANE_TEST_CONCAT_INNER(a, b) a##b
#define CORVANE_TEST_CONCAT(a, b) CORVANE_TEST_CONCAT_INNER(a, b)

#define TEST(name)                                                                       \
  static void CORVANE_TEST_CONCAT(corvane_test_, name)();                                \
  static const ::corvane::test::Registrar CORVANE_TEST_CONCAT(corvane_registrar_, name)( \
      #name, &CORVANE_TEST_CONCAT(corvane_test_, name));                                 \
  static void CORVANE_TEST_CONCAT(corvane_test_, name)()

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition))                                                               \
      ::corvane::test::record_failure(__FILE__, __LINE__, "CHECK(" #condition ")"); \
  } while (false)

#define CHECK_EQ(actual, expected) \
  ::corvane::test::check_eq((actual), (expected), #actual, #expected, __FILE__, __LINE__)

// Passes when `statement` throws `Type` (or a type derived from it).
#define CHECK_THROWS(statement, Type)                                                         \
  do {                                                                                        \
    bool corvane_thrown = false;                                                              \
    try {                                                                                     \
      statement;                                                                              \
    } catch (const Type&) {                                                                   \
      corvane_thrown = true;                                                                  \
    } catch (...) {                                                                           \
    }                                                                                         \
    if (!corvane_thrown)                                                                      \
      ::corvane::test::record_failure(__FILE__, __LINE__,                                     \
                                      "CHECK_THROWS(" #statement ", " #Type "): not thrown"); \
  } while (false)

// As CHECK_THROWS, and what() must equal `message` exactly.
#define CHECK_THROWS_WITH(statement, Type, message)                                                \
  do {                                                                                             \
    bool corvane_thrown = false;                                                                   \
    try {                                                                                          \
      statement;                                                                                   \
    } catch (const Type& corvane_error) {                                                          \
      corvane_thrown = true;                                                                       \
      CHECK_EQ(std::string(corvane_error.what()), std::string(message));                           \
    } catch (...) {                                                                                \
    }                                                                                              \
    if (!corvane_thrown)                                                                           \
      ::corvane::test::record_failure(__FILE__, __LINE__,                                          \
                                      "CHECK_THROWS_WITH(" #statement ", " #Type "): not thrown"); \
  } while (false)

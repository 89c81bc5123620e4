// Runner of the tests registered with TEST (see check.h).
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"

namespace corvane::test {

namespace {

struct RegisteredTest {
  const char* name;
  TestFunction function;
};

// A function-local list, so that registration from other files' static
// initialisers cannot run before it exists.
std::vector<RegisteredTest>& registry() {
  static std::vector<RegisteredTest> tests;
  return tests;
}

const char* g_current_test = nullptr;
int g_current_failures = 0;

}  // namespace

Registrar::Registrar(const char* name, TestFunction function) {
  registry().push_back({name, function});
}

void record_failure(const char* file, int line, const std::string& what) {
  ++g_current_failures;
  std::printf("%s:%d: [%s] %s\n", file, line, g_current_test ? g_current_test : "?", what.c_str());
  std::fflush(stdout);
}

}  // namespace corvane::test

namespace {

// `--list` and `--exact` let CTest register and run every case on its own.
int usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [FILTER]       run the tests whose names contain FILTER\n"
               "       %s --list [FILTER] print their names, one a line, and run nothing\n"
               "       %s --exact NAME    run the test named NAME\n",
               program, program, program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvane::test;
  const std::string_view first = argc > 1 ? argv[1] : "";
  const bool list = first == "--list";
  const bool exact = first == "--exact";
  if ((list && argc > 3) || (exact && argc != 3) || (!list && !exact && argc > 2)) {
    return usage(argv[0]);
  }
  const std::string_view filter = list || exact ? (argc > 2 ? argv[2] : "") : first;
  const auto selected = [&](std::string_view name) {
    return exact ? name == filter : name.find(filter) != std::string_view::npos;
  };
  if (list) {
    for (const RegisteredTest& test : registry()) {
      if (selected(test.name)) std::printf("%s\n", test.name);
    }
    return 0;
  }
  int passed = 0;
  int failed = 0;
  for (const RegisteredTest& test : registry()) {
    if (!selected(test.name)) continue;
    g_current_test = test.name;
    g_current_failures = 0;
    try {
      test.function();
    } catch (const std::exception& error) {
      record_failure(__FILE__, __LINE__, std::string("unexpected exception: ") + error.what());
    } catch (...) {
      record_failure(__FILE__, __LINE__, "unexpected exception of unknown type");
    }
    if (g_current_failures == 0) {
      ++passed;
    } else {
      ++failed;
      std::printf("FAILED %s\n", test.name);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  if (exact && passed + failed == 0) {
    // A renamed or removed case must not pass silently under its old name.
    std::printf("no test is named %s\n", argv[2]);
    return 1;
  }
  return failed == 0 ? 0 : 1;
}

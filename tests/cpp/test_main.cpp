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

int main(int argc, char** argv) {
  using namespace corvane::test;
  const std::string_view filter = argc > 1 ? argv[1] : "";
  int passed = 0;
  int failed = 0;
  for (const RegisteredTest& test : registry()) {
    if (std::string_view(test.name).find(filter) == std::string_view::npos) continue;
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
  return failed == 0 ? 0 : 1;
}

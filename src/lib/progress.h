// Progress lines printed through the interpreter's own sys.stdout, so they
// go wherever the Python program sends its output (a notebook, a captured
// stream) and in order with it.
#pragma once

#include <string_view>

#include "uplift_random_forest/forest.h"

namespace corvane {

// Runs `import sys; print("<line>"); sys.stdout.flush();` in a fresh
// namespace, so the program's own names are never touched; skips the line
// when sys.stdout is None. The line is inserted unescaped: progress lines
// never hold a quote, backslash or line break. A Python failure stops the
// caller with its rendering. Takes the interpreter lock for its moment: fit
// trains with the lock released.
void pyprint(std::string_view line);

// Thread-safety: used only by the thread that runs fit, with or without the
// interpreter lock.
class PythonProgress : public ProgressSink {
 public:
  void print(std::string_view line) override { pyprint(line); }
  // Runs pending signal handlers, so Ctrl-C (KeyboardInterrupt) ends a long
  // fit; the exception reaches the caller as it is.
  void poll() override;
};

}  // namespace corvane

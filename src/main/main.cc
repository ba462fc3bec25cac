// The program's entry point: refuse anything that looks like an option, else run and report.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "main/interrupts.h"
#include "main/lint_run.h"
#include "main/report.h"

int main(int argc, char** argv) {
  // A reader that closes standard output early, or a file-size limit, must turn into write
  // errors that the run can survive, not into the end of the process half-way through a file.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);

  // Every argument is checked before any is used, so "a.json --fix" touches nothing.
  bool refused = argc < 2;
  for (int i = 1; i < argc && !refused; ++i) refused = argv[i][0] == '-';
  if (refused) {
    // Two writes, one per line; nothing can be done if standard error refuses them.
    (void)orvel::write_all(2, "usage: orvel PATH [PATH ...]\n");
    (void)orvel::write_all(2, "Fixes and lints like: orveller PATH... --fix --config-set indent=2\n");
    std::exit(2);
  }

  orvel::defer_interrupts_during_rewrites();
  int status = 1;
  // Memory running out inside a file fails that file alone; anywhere else (discovery, the
  // results, the report) it ends the run here, with every file whole, old or new.
  try {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    orvel::ReportStream out(1);
    status = orvel::LintRun(arguments, out);
    out.flush();
  } catch (const std::bad_alloc&) {
    (void)orvel::write_all(2, "orvel: out of memory\n");
    std::exit(1);
  }
  std::exit(status);
}

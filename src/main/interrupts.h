// Signals that would end the process wait while a file is being overwritten.
#ifndef ORVEL_MAIN_INTERRUPTS_H_
#define ORVEL_MAIN_INTERRUPTS_H_

namespace orvel {

// Takes over every signal that can be caught and whose default action ends the process
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, the user and real-time signals and the like, and
// SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP and SIGSYS), except those the caller left
// ignored. Outside a rewrite such a signal still ends the process at once, by what was there
// before (the default action, or a handler such as a sanitizer's); during one it waits for the
// rewrite to finish. A fault of the program itself (SIGSEGV and its kind raised by the kernel,
// or its own abort()) never waits. Call it once, early.
void defer_interrupts_during_rewrites();

// While one lives, a signal taken over above is noted instead of acted on. When it ends, a noted
// signal ends the process by its default action, so a parent sees the same status as if the
// signal had struck at once. Costs two stores: no system call on the common path.
class RewriteInProgress {
 public:
  RewriteInProgress();
  ~RewriteInProgress();
  RewriteInProgress(const RewriteInProgress&) = delete;
  RewriteInProgress& operator=(const RewriteInProgress&) = delete;
};

}  // namespace orvel

#endif  // ORVEL_MAIN_INTERRUPTS_H_

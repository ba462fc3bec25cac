// Deferring fatal signals over a rewrite, so a file is never left half old and half new.
#include "main/interrupts.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace orvel {

namespace {

volatile std::sig_atomic_t g_rewriting = 0;
volatile std::sig_atomic_t g_pending = 0;  // the first signal that came during a rewrite

// What each signal taken over did before, for the signals that are not held back. Written once,
// before the handler is installed for that signal.
std::array<struct sigaction, NSIG> g_before{};

// Signals that report a fault of the program itself when the kernel raises them (and SIGABRT,
// which the program raises itself through abort()). Only a copy sent by another process waits.
bool reports_a_fault(int signal_number) {
  return signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGFPE ||
         signal_number == SIGILL || signal_number == SIGTRAP || signal_number == SIGSYS ||
         signal_number == SIGABRT;
}

// A code of zero or less means a process sent it (kill, tgkill, sigqueue); the kernel's own
// signals carry positive codes (a fault's address kind, SI_KERNEL). The program's own abort()
// sends SIGABRT to itself and must end at once, so the sender must be someone else.
bool sent_by_another_process(const siginfo_t* info) {
  return info != nullptr && info->si_code <= 0 && info->si_pid != ::getpid();
}

// Puts the default action back and raises `signal_number`. Inside the handler the signal is
// blocked, so it takes effect the moment the handler returns (before a faulting instruction
// runs again); elsewhere it takes effect at once.
void end_by(int signal_number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
  ::raise(signal_number);
}

// Does what the signal would have done had it not been taken over: the handler that was there
// (a sanitizer's fault report, say), or else the default action.
void act_as_before(int signal_number, siginfo_t* info, void* context) {
  const struct sigaction& before = g_before[static_cast<std::size_t>(signal_number)];
  if ((before.sa_flags & SA_SIGINFO) != 0) {
    before.sa_sigaction(signal_number, info, context);
  } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
    before.sa_handler(signal_number);
  } else {
    end_by(signal_number);
  }
}

void on_signal(int signal_number, siginfo_t* info, void* context) {
  bool may_wait = !reports_a_fault(signal_number) || sent_by_another_process(info);
  if (g_rewriting != 0 && may_wait) {
    if (g_pending == 0) g_pending = signal_number;
    return;
  }
  int saved = errno;
  act_as_before(signal_number, info, context);
  errno = saved;
}

void take_over(int signal_number) {
  struct sigaction old {};
  if (::sigaction(signal_number, nullptr, &old) != 0) return;
  bool has_info = (old.sa_flags & SA_SIGINFO) != 0;
  // An ignored signal stays ignored: `nohup` and background jobs rely on it.
  if (!has_info && old.sa_handler == SIG_IGN) return;
  if (has_info && old.sa_sigaction == on_signal) return;  // taken over already
  g_before[static_cast<std::size_t>(signal_number)] = old;
  struct sigaction action {};
  action.sa_sigaction = on_signal;
  sigemptyset(&action.sa_mask);
  // A handler that was there may run on an alternate stack (a sanitizer's, for a stack
  // overflow); it is called from this one, so this one runs there too.
  action.sa_flags = SA_SIGINFO | SA_RESTART | (old.sa_flags & SA_ONSTACK);
  ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

void defer_interrupts_during_rewrites() {
  // SIGPIPE and SIGXFSZ are ignored by the entry point; stop signals do not end the process.
  static constexpr int kEnding[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGALRM,   SIGUSR1, SIGUSR2,
                                    SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,  SIGSTKFLT, SIGXCPU, SIGABRT,
                                    SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGTRAP,   SIGSYS};
  for (int signal_number : kEnding) take_over(signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) take_over(signal_number);
}

RewriteInProgress::RewriteInProgress() {
  g_rewriting = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

RewriteInProgress::~RewriteInProgress() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_rewriting = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (int signal_number = g_pending; signal_number != 0) {
    end_by(signal_number);
    ::_exit(128 + signal_number);  // only if the signal is blocked by the caller's mask
  }
}

}  // namespace orvel

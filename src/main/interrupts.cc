// Deferring fatal signals over a rewrite, so a file is never left half old and half new.
#include "main/interrupts.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace orvel {

namespace {

volatile std::sig_atomic_t g_rewriting = 0;
volatile std::sig_atomic_t g_pending = 0;  // the first signal that came during a rewrite

// Puts the default action back and raises `signal_number`. Inside the handler the signal is
// blocked, so it takes effect the moment the handler returns; elsewhere it takes effect at once.
void end_by(int signal_number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
  ::raise(signal_number);
}

void on_signal(int signal_number) {
  if (g_rewriting != 0) {
    if (g_pending == 0) g_pending = signal_number;
    return;
  }
  int saved = errno;
  end_by(signal_number);
  errno = saved;
}

void take_over(int signal_number) {
  struct sigaction old {};
  if (::sigaction(signal_number, nullptr, &old) != 0) return;
  // An ignored signal stays ignored: `nohup` and background jobs rely on it.
  if ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) return;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(signal_number, &action, nullptr);
}

}  // namespace

void defer_interrupts_during_rewrites() {
  // SIGPIPE and SIGXFSZ are ignored by the entry point; SIGSEGV and its kind report a fault in
  // the program itself and are left alone; stop signals do not end the process.
  static constexpr int kEnding[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2,
                                    SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,  SIGSTKFLT, SIGXCPU};
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

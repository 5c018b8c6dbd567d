#include <csignal>
#include <cstdlib>
#include <iostream>

#include "ConsoleUnit.h"

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::size_t kInterruptCount = sizeof kInterrupts / sizeof kInterrupts[0];

// A signal handler takes no context, so what it records, and the actions it
// replaced, live here. A blocked signal mask would not do: it covers only the
// calling thread, and a device library may run threads of its own (libusb
// does), to which the kernel would deliver the signal instead.
volatile std::sig_atomic_t heldSignal = 0;
struct sigaction replaced[kInterruptCount];
bool holding = false;

extern "C" void RecordInterrupt(int signal) {
  if (heldSignal == 0) heldSignal = signal;
}

}  // namespace

void PrepareConsole() {
  // A reader that goes away makes write() fail with EPIPE, which WriteLine
  // reports, instead of killing the process before the device is closed.
  std::signal(SIGPIPE, SIG_IGN);
  // Unsynchronised streams report read errors as errors, not as end of input.
  std::ios::sync_with_stdio(false);
}

void HoldInterrupts() {
  if (holding) return;
  struct sigaction record = {};
  record.sa_handler = RecordInterrupt;
  record.sa_flags = SA_RESTART;  // console and device calls go on undisturbed
  sigfillset(&record.sa_mask);
  for (std::size_t i = 0; i < kInterruptCount; ++i) {
    sigaction(kInterrupts[i], nullptr, &replaced[i]);
    // A signal the program was started to ignore (nohup) stays ignored.
    if (replaced[i].sa_handler != SIG_IGN) sigaction(kInterrupts[i], &record, nullptr);
  }
  holding = true;
}

void ReleaseInterrupts() {
  if (!holding) return;
  for (std::size_t i = 0; i < kInterruptCount; ++i)
    sigaction(kInterrupts[i], &replaced[i], nullptr);
  holding = false;
  const int signal = heldSignal;
  if (signal == 0) return;
  // Ends the program by that signal, so that the parent (a shell, a script)
  // sees the real cause.
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  std::_Exit(128 + signal);  // not reached: the default action ends the process
}

#include <csignal>
#include <iostream>

#include "ConsoleUnit.h"

void PrepareConsole() {
  // A reader that goes away makes write() fail with EPIPE, which WriteLine
  // reports, instead of killing the process before the device is closed.
  std::signal(SIGPIPE, SIG_IGN);
  // Unsynchronised streams report read errors as errors, not as end of input.
  std::ios::sync_with_stdio(false);
}

// Console lines and the one error type of the program.
#ifndef KORLINTH_CONSOLEUNIT_H
#define KORLINTH_CONSOLEUNIT_H

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

// The error that ends a device pass; main prints its message after "Error: ".
class TError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes `text` and a line end to standard output and flushes it at once, as
// one write. Raises TError when the line cannot be written.
void WriteLine(std::string_view text);

// Reads one line from standard input without its line end; at end of input
// it gives what was read (nothing, if there was nothing). Keeps only the first
// `keep` bytes but consumes the whole line. Raises TError on a read error.
std::string ReadLine(std::size_t keep);

// Sets up the platform's console: afterwards a closed output pipe is a failed
// write, not the end of the process.
void PrepareConsole();

// Holds the operator's interrupts (Ctrl+C, a closed terminal or session, a
// request to terminate) from HoldInterrupts until ReleaseInterrupts, so that a
// device rewrite runs through its reset and close. An interrupt that arrived
// meanwhile ends the program in ReleaseInterrupts, as it would have at once.
// Outside that window interrupts act at once. ReleaseInterrupts without a
// hold does nothing.
void HoldInterrupts();
void ReleaseInterrupts();

#endif  // KORLINTH_CONSOLEUNIT_H

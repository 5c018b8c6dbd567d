// Runs the built program against the simulated device library and reads back
// what it printed and what it asked of the library.
#ifndef KORLINTH_TESTS_HARNESS_H
#define KORLINTH_TESTS_HARNESS_H

#include <string>
#include <vector>

#include "Process.h"

struct ProgramRun {
  ProcessResult result;
  std::string out, err;
  std::vector<std::string> journal;  // one library call a line
  std::string deviceFile;            // the device file as the run left it
  std::string deviceFilePath;        // where it was (gone after the run)
};

// How the program under test is started: by default the Linux build; the
// environment can point the same tests at another build (KORLINTH_TEST_PROGRAM,
// KORLINTH_TEST_LAUNCHER, KORLINTH_TEST_LINE_END).
struct ProgramUnderTest {
  static ProgramUnderTest FromEnvironment();
  std::vector<std::string> command;  // launcher (if any) and program
  std::string libraryDir;            // folder of the simulated library
  std::string lineEnd = "\n";
  bool windows = false;  // the Windows build (under Wine)

  // The platform's words for a write to a pipe nobody reads.
  std::string BrokenPipe() const { return windows ? "Invalid argument" : "Broken pipe"; }
  // A text with "\n" line ends as this program writes it.
  std::string Lines(const std::string& text) const;

  // A process launch for one run with the given device file and journal.
  ProcessLaunch Launch(const std::string& deviceFile, const std::string& journal) const;

  // Runs with `input` on standard input against a copy of `devices` (text of
  // a device file; "" for none) in a fresh folder. With `unreadableInput`,
  // standard input is open for writing only, so every read of it fails.
  ProgramRun Run(const std::string& devices, const std::string& input,
                 bool unreadableInput = false) const;
};

// The lines of a text, without their line ends ("\n" or `lineEnd`).
std::vector<std::string> SplitLines(const std::string& text, const std::string& lineEnd = "\n");

// What the journal shows done wrong with the devices: a handle opened and not
// closed exactly once, a rebranding without exactly one reset before the
// close, or a call on a closed handle. Empty when all is well.
std::vector<std::string> JournalViolations(const std::vector<std::string>& journal);

#endif  // KORLINTH_TESTS_HARNESS_H

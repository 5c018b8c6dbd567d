// Every library call of a run fails in turn, and every cut of the console
// output: no device is ever left open, or written and not reset.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "Harness.h"

namespace {

using nlohmann::json;

// Two ZE devices, confirmed, around one that does not match.
json ThreeDevices() {
  return json::parse(R"({"devices": [
    {"label": "COM3", "pid": "8017", "serial": "0001"},
    {"label": "COM4"},
    {"label": "COM5", "pid": "8017", "serial": "0003"}]})");
}
const char* kAnswers = "yes\nyes\n\n";
const std::string kClosing = "Operation finished. Press Enter to close.";

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

bool Failed(const std::string& journalLine) {
  return journalLine.find(" -> 0") == std::string::npos;
}

// What must hold after any run: the devices were left in order.
void CheckDevicesLeftInOrder(const ProgramRun& run, const std::string& what) {
  EXPECT_EQ(run.result.signal, 0) << what;
  EXPECT_EQ(Joined(JournalViolations(run.journal)), "") << what;
}

TEST(FaultMatrix, EveryFailingCallLeavesDevicesClosedAndReset) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  const ProgramRun clean = program.Run(ThreeDevices().dump(), kAnswers);
  ASSERT_EQ(Joined(JournalViolations(clean.journal)), "");
  ASSERT_EQ(Count(clean.out, "PID written."), 2u) << clean.out;
  const std::size_t calls = clean.journal.size();

  int tried = 0;
  for (std::size_t k = 1; k <= calls; ++k) {
    for (int status : {3, 7, -1, 255}) {
      for (const char* mode : {"call", "from"}) {
        std::vector<json> variants;
        json devices = ThreeDevices();
        devices["faults"] = json::array({{{mode, k}, {"status", status}}});
        variants.push_back(devices);
        if (k == 1) {  // the count fails but leaves a count behind
          devices["count"] = {{"value", 3}};
          variants.push_back(devices);
        }
        for (const json& variant : variants) {
          ++tried;
          const std::string what = std::string(mode) + " " + std::to_string(k) + " fails with " +
                                   std::to_string(status) +
                                   (variant.contains("count") ? ", count left" : "");
          ProgramRun run = program.Run(variant.dump(), kAnswers);
          CheckDevicesLeftInOrder(run, what);
          EXPECT_EQ(run.result.exitCode, 0) << what;
          std::vector<std::string> out = SplitLines(run.out, program.lineEnd);
          ASSERT_FALSE(out.empty()) << what;
          EXPECT_EQ(out.back(), kClosing) << what;
          std::size_t errors = 0;
          for (const std::string& line : out) errors += line.rfind("Error: ", 0) == 0;
          EXPECT_LE(errors, 1u) << what << "\n" << run.out;
          // An error ends the pass at the call that raised it: a failed label
          // read or a failed close is the last call made.
          if (errors == 1) {
            ASSERT_FALSE(run.journal.empty()) << what;
            const std::string& last = run.journal.back();
            EXPECT_TRUE(Failed(last) &&
                        (last.rfind("GetProductString", 0) == 0 || last.rfind("Close", 0) == 0))
                << what << ": last call " << last;
          }
        }
      }
    }
  }
  std::cout << "fault points tried: " << tried << " (" << calls << " calls)\n";
}

// Runs the program with its output into a pipe that has room for `room`
// bytes and whose reader goes away once the program waits for more room (or
// ends). Output lines are single writes of less than PIPE_BUF bytes, so the
// program writes the whole lines that fit and fails on the next one.
ProgramRun RunIntoClosingPipe(const ProgramUnderTest& program, const std::string& devices,
                              const std::string& input, std::size_t room) {
  TempDir dir;
  WriteFile(dir.Path("devices.json"), devices);
  WriteFile(dir.Path("stdin"), input);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  const int capacity = fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
  if (capacity < 0 || room > static_cast<std::size_t>(capacity))
    throw std::runtime_error("pipe too small");
  const std::string filler(static_cast<std::size_t>(capacity) - room, 'f');
  if (write(pipeFds[1], filler.data(), filler.size()) != static_cast<ssize_t>(filler.size()))
    throw std::runtime_error("cannot fill the pipe");

  ProcessLaunch launch = program.Launch(dir.Path("devices.json"), dir.Path("journal"));
  launch.stdinFd = open(dir.Path("stdin").c_str(), O_RDONLY | O_CLOEXEC);
  launch.stdoutFd = pipeFds[1];
  launch.stderrFd = open(dir.Path("stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int pid = Start(launch);
  close(launch.stdinFd);
  close(launch.stdoutFd);
  close(launch.stderrFd);

  ProgramRun run;
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
    if (ReadFile("/proc/" + std::to_string(pid) + "/wchan").find("pipe_write") !=
            std::string::npos ||
        waited > 5000) {
      close(pipeFds[0]);  // the reader goes away
      pipeFds[0] = -1;
      run.result = Wait(pid);
      break;
    }
    usleep(1000);
  }
  if (pipeFds[0] >= 0) {
    close(pipeFds[0]);
    if (WIFEXITED(status)) run.result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.result.signal = WTERMSIG(status);
  }
  run.err = ReadFile(dir.Path("stderr"));
  run.journal = SplitLines(ReadFile(dir.Path("journal")));
  return run;
}

// The reader of standard output goes away after N bytes, for N across the
// whole clean transcript: every offset inside the rebrandings, and every 8th
// elsewhere.
TEST(FaultMatrix, OutputPipeClosedAfterAnyByteLeavesDevicesClosedAndReset) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  if (program.command.size() != 1) GTEST_SKIP() << "needs the native program";
  const std::string devices = ThreeDevices().dump();
  const std::string transcript = program.Run(devices, kAnswers).out;
  const std::size_t length = transcript.size();

  std::vector<std::size_t> cuts;
  for (std::size_t n = 0; n <= length; ++n) {
    bool inRebranding = false;
    for (std::size_t at = transcript.find("Upgrading device."); at != std::string::npos;
         at = transcript.find("Upgrading device.", at + 1))
      inRebranding = inRebranding || (n >= at && n <= transcript.find("Reinitialize", at) + 22);
    if (inRebranding || n % 8 == 0 || n == length) cuts.push_back(n);
  }
  for (std::size_t n : cuts) {
    const std::string what = "reader gone after " + std::to_string(n) + " bytes";
    ProgramRun run = RunIntoClosingPipe(program, devices, kAnswers, n);
    CheckDevicesLeftInOrder(run, what);
    // What reached the reader: the whole lines that fit.
    const std::size_t shown = transcript.rfind('\n', n == 0 ? 0 : n - 1) == std::string::npos
                                  ? 0
                                  : transcript.rfind('\n', n - 1) + 1;
    const bool cut = n < length;
    EXPECT_EQ(run.result.exitCode, cut ? 1 : 0) << what;
    if (cut) {
      EXPECT_EQ(run.err, program.Lines("korlinth-update: Could not write to standard output: " +
                                       program.BrokenPipe() + "\n"))
          << what;
    }
    // No device is visited after the failed line: a label is read at most
    // once beyond the labels that reached the reader.
    std::size_t labelsRead = 0;
    for (const std::string& line : run.journal)
      labelsRead += line.rfind("GetProductString", 0) == 0;
    EXPECT_LE(labelsRead, Count(transcript.substr(0, shown), "ProductString: ") + 1) << what;
  }
  std::cout << "console cut points tried: " << cuts.size() << " of " << length + 1
            << " byte offsets\n";
}

TEST(FaultMatrix, UnreadableInputLeavesDevicesClosed) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  ProgramRun run = program.Run(ThreeDevices().dump(), "", /*unreadableInput=*/true);
  CheckDevicesLeftInOrder(run, "unreadable input");
  EXPECT_EQ(run.result.exitCode, 1);
  EXPECT_EQ(Count(run.out, "Error: Could not read from standard input"), 1u) << run.out;
  EXPECT_EQ(run.journal.back(), "Close h1 -> 0");
}

}  // namespace

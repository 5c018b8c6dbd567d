// A console that fails: the failure is reported, and the devices are left
// closed, and reset where a rebranding began.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "Harness.h"

namespace {

const char* kZeDevice = R"({"devices": [{"label": "COM3", "pid": "8017", "serial": "0001"}]})";

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(ConsoleFault, OutputToFullDeviceEndsWithStatusOne) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  TempDir dir;
  WriteFile(dir.Path("devices.json"), kZeDevice);
  ProcessLaunch launch = program.Launch(dir.Path("devices.json"), dir.Path("journal"));
  launch.stdoutFd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  launch.stderrFd = open(dir.Path("stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ProcessResult result = Wait(Start(launch));
  close(launch.stdoutFd);
  close(launch.stderrFd);

  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(ReadFile(dir.Path("stderr")),
            program.Lines("korlinth-update: Could not write to standard output: No space left on "
                          "device\n"));
  // The title line is the first write: no device was touched.
  EXPECT_EQ(ReadFile(dir.Path("journal")), "");
}

// Reads from `fd` until `text` has arrived; gives everything read.
std::string ReadUntil(int fd, const std::string& text) {
  std::string received;
  char chunk[256];
  while (received.find(text) == std::string::npos) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    received.append(chunk, static_cast<std::size_t>(n));
  }
  return received;
}

TEST(ConsoleFault, PipeClosedAtQuestionStillResetsAndClosesDevice) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  TempDir dir;
  WriteFile(dir.Path("devices.json"), kZeDevice);
  int input[2], output[2];
  ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  ProcessLaunch launch = program.Launch(dir.Path("devices.json"), dir.Path("journal"));
  launch.stdinFd = input[0];
  launch.stdoutFd = output[1];
  launch.stderrFd = open(dir.Path("stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  int pid = Start(launch);
  close(input[0]);
  close(output[1]);
  close(launch.stderrFd);

  // The operator's window goes away while the question is open, and then
  // the answer arrives.
  std::string seen = ReadUntil(output[0], "Upgrade to Korlinth? (Yes/No)" + program.lineEnd);
  close(output[0]);
  ASSERT_EQ(write(input[1], "yes\n", 4), 4);
  close(input[1]);
  ProcessResult result = Wait(pid);

  EXPECT_NE(seen.find("ZE device found."), std::string::npos);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(ReadFile(dir.Path("stderr")),
            program.Lines("korlinth-update: Could not write to standard output: " +
                          program.BrokenPipe() + "\n"));
  std::vector<std::string> journal = SplitLines(ReadFile(dir.Path("journal")));
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal[journal.size() - 2], "Reset h1 -> 0");
  EXPECT_EQ(journal.back(), "Close h1 -> 0");
  EXPECT_EQ(Joined(JournalViolations(journal)), "");
}

TEST(ConsoleFault, PipeClosedBeforeStartEndsWithStatusOne) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  TempDir dir;
  WriteFile(dir.Path("devices.json"), kZeDevice);
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  close(output[0]);
  ProcessLaunch launch = program.Launch(dir.Path("devices.json"), dir.Path("journal"));
  launch.stdoutFd = output[1];
  launch.stderrFd = open(dir.Path("stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ProcessResult result = Wait(Start(launch));
  close(output[1]);
  close(launch.stderrFd);

  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(ReadFile(dir.Path("stderr")),
            program.Lines("korlinth-update: Could not write to standard output: " +
                          program.BrokenPipe() + "\n"));
}

// Starts the program on `devices` with standard input and output as pipes,
// answers `answer` once `prompt` has been written, and sends `signal` once
// `cue` has been written. Gives the whole output.
struct InterruptedRun {
  ProcessResult result;
  std::string out;
  std::vector<std::string> journal;
  double secondsAfterSignal = 0;
};

InterruptedRun RunAndInterrupt(const ProgramUnderTest& program, const std::string& devices,
                               const std::string& answer, const std::string& cue, int signal) {
  TempDir dir;
  WriteFile(dir.Path("devices.json"), devices);
  int input[2], output[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  ProcessLaunch launch = program.Launch(dir.Path("devices.json"), dir.Path("journal"));
  launch.stdinFd = input[0];
  launch.stdoutFd = output[1];
  int pid = Start(launch);
  close(input[0]);
  close(output[1]);
  InterruptedRun run;
  run.out = ReadUntil(output[0], "Upgrade to Korlinth? (Yes/No)" + program.lineEnd);
  if (!answer.empty() && write(input[1], answer.data(), answer.size()) < 0)
    throw std::runtime_error("cannot answer");
  if (run.out.find(cue + program.lineEnd) == std::string::npos)
    run.out += ReadUntil(output[0], cue + program.lineEnd);
  kill(pid, signal);
  const auto sent = std::chrono::steady_clock::now();
  run.result = Wait(pid);
  run.secondsAfterSignal =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
  run.out += ReadUntil(output[0], std::string(1, '\0'));  // the rest: the program writes no NUL
  close(output[0]);
  close(input[1]);
  run.journal = SplitLines(ReadFile(dir.Path("journal")));
  return run;
}

// Two ZE devices; the first takes 1.5 s for the operation `slow`.
std::string TwoZeDevicesWithSlow(const std::string& slow) {
  return R"({"devices": [{"label": "COM3", "pid": "8017", "serial": "0001", "delay": {")" + slow +
         R"(": 1500}}, {"label": "COM4", "pid": "8017", "serial": "0003"}]})";
}

// How the program must end after an interrupt: by that signal, or under
// Wine (which turns SIGINT into Ctrl+C) with the low byte of
// STATUS_CONTROL_C_EXIT.
void ExpectEndedBy(const ProgramUnderTest& program, const ProcessResult& result, int signal) {
  if (program.windows) {
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitCode, 0xC000013A & 0xFF);
  } else {
    EXPECT_EQ(result.signal, signal);
  }
}

// An interrupt while the first device is rewritten: the rewrite runs through
// its reset and close, then the program ends by that signal, with no further
// device visited and no closing prompt.
TEST(Interrupt, DuringRewriteFinishesDeviceThenEndsBySignal) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  const struct {
    const char* slow;  // the operation in progress when the signal comes
    const char* cue;   // the last line written before it
    int signal;
  } cases[] = {
      {"SetProductString", "Upgrading device.", SIGINT},
      {"SetSerialNumber", "ProductString written.", SIGTERM},
      {"SetPid", "Serialnumber written.", SIGHUP},
      {"Reset", "Reinitialize device.", SIGINT},
      {"SetPid", "Serialnumber written.", SIGQUIT},
  };
  for (const auto& c : cases) {
    if (program.windows && c.signal != SIGINT) continue;  // Wine turns only SIGINT into Ctrl+C
    SCOPED_TRACE(std::string(c.slow) + " " + strsignal(c.signal));
    InterruptedRun run =
        RunAndInterrupt(program, TwoZeDevicesWithSlow(c.slow), "yes\n", c.cue, c.signal);
    ExpectEndedBy(program, run.result, c.signal);
    const std::vector<std::string> out = SplitLines(run.out, program.lineEnd);
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(Joined({out.end() - 5, out.end()}),
              "Upgrading device.\nProductString written.\nSerialnumber written.\nPID written.\n"
              "Reinitialize device.\n");
    ASSERT_GE(run.journal.size(), 5u);
    EXPECT_EQ(Joined({run.journal.end() - 5, run.journal.end()}),
              "SetProductString h1 \"CP2101 USB to UART Bridge Controller\" length=36 unicode=1 "
              "-> 0\n"
              "SetSerialNumber h1 \"ZEMTA ELECTRONIC USB DEVICE\" length=27 unicode=1 -> 0\n"
              "SetPid h1 60000 -> 0\n"
              "Reset h1 -> 0\n"
              "Close h1 -> 0\n");
    for (const std::string& line : run.journal)
      EXPECT_EQ(line.rfind("Open 1", 0), std::string::npos) << "the second device was opened";
  }
}

// Before a rewrite begins nothing is held: Ctrl+C at the question ends the
// program at once, and nothing has been written.
TEST(Interrupt, AtQuestionEndsAtOnceWithoutWrites) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  // Wine's own Ctrl+C handling does not end a program that reads a pipe.
  if (program.windows) GTEST_SKIP() << "Wine ignores Ctrl+C outside a handler while reading a pipe";
  InterruptedRun run = RunAndInterrupt(program, TwoZeDevicesWithSlow("SetPid"), "",
                                       "Upgrade to Korlinth? (Yes/No)", SIGINT);
  ExpectEndedBy(program, run.result, SIGINT);
  EXPECT_LT(run.secondsAfterSignal, 1.0);
  for (const std::string& line : run.journal) EXPECT_NE(line.rfind("Set", 0), 0u) << line;
  EXPECT_EQ(SplitLines(run.out, program.lineEnd).back(), "Upgrade to Korlinth? (Yes/No)");
}

}  // namespace

// An answer line far longer than the memory the program may use is still
// read to its end and answered: only its first bytes are kept.
TEST(ConsoleInput, EndlessAnswerLineKeepsMemoryBounded) {
  ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  if (program.command.size() != 1) GTEST_SKIP() << "needs the native program";
#ifdef KORLINTH_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit";
#endif
  program.command.insert(program.command.begin(), {"prlimit", "--as=268435456", "--"});
  TempDir dir;
  WriteFile(dir.Path("devices.json"), kZeDevice);
  // 512 MiB of NUL bytes, then the line end and the closing Enter; the file
  // is sparse, so it costs no disk.
  const off_t lineLength = off_t{512} << 20;
  int in = open(dir.Path("stdin").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(ftruncate(in, lineLength), 0);
  ASSERT_EQ(pwrite(in, "\n\n", 2, lineLength), 2);
  ASSERT_EQ(lseek(in, 0, SEEK_SET), 0);
  ProcessLaunch launch = program.Launch(dir.Path("devices.json"), dir.Path("journal"));
  launch.stdinFd = in;
  launch.stdoutFd = open(dir.Path("stdout").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ProcessResult result = Wait(Start(launch));
  close(in);
  close(launch.stdoutFd);

  EXPECT_EQ(result.exitCode, 0);
  std::vector<std::string> out = SplitLines(ReadFile(dir.Path("stdout")), program.lineEnd);
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[out.size() - 2], "Operation aborted.");
  EXPECT_EQ(out.back(), "Operation finished. Press Enter to close.");
}

#include "Harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>

#ifndef KORLINTH_PROGRAM
#error "KORLINTH_PROGRAM must name the built program"
#endif
#ifndef KORLINTH_SIM_DIR
#error "KORLINTH_SIM_DIR must name the folder of the simulated library"
#endif

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

}  // namespace

ProgramUnderTest ProgramUnderTest::FromEnvironment() {
  ProgramUnderTest program;
  std::string launcher = EnvOr("KORLINTH_TEST_LAUNCHER", "");
  if (!launcher.empty()) program.command.push_back(launcher);
  program.command.push_back(EnvOr("KORLINTH_TEST_PROGRAM", KORLINTH_PROGRAM));
  program.libraryDir = EnvOr("KORLINTH_TEST_SIM_DIR", KORLINTH_SIM_DIR);
  program.lineEnd = EnvOr("KORLINTH_TEST_LINE_END", "") == "crlf" ? "\r\n" : "\n";
  program.windows = EnvOr("KORLINTH_TEST_PLATFORM", "") == "windows";
  return program;
}

std::string ProgramUnderTest::Lines(const std::string& text) const {
  std::string converted;
  for (char c : text) {
    if (c == '\n')
      converted += lineEnd;
    else
      converted += c;
  }
  return converted;
}

ProcessLaunch ProgramUnderTest::Launch(const std::string& deviceFile,
                                       const std::string& journal) const {
  ProcessLaunch launch;
  launch.argv = command;
  launch.env["LD_LIBRARY_PATH"] = libraryDir;
  launch.env["CP210X_SIM_DEVICES"] = deviceFile;
  launch.env["CP210X_SIM_JOURNAL"] = journal;
  return launch;
}

ProgramRun ProgramUnderTest::Run(const std::string& devices, const std::string& input,
                                 bool unreadableInput) const {
  TempDir dir;
  const std::string deviceFile = dir.Path("devices.json");
  if (!devices.empty()) WriteFile(deviceFile, devices);
  ProgramRun run;
  run.deviceFilePath = deviceFile;
  ProcessLaunch launch = Launch(deviceFile, dir.Path("journal"));
  if (unreadableInput) {
    int writeOnly = open(dir.Path("stdin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    launch.stdinFd = writeOnly;
    int outFd = open(dir.Path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int errFd = open(dir.Path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    launch.stdoutFd = outFd;
    launch.stderrFd = errFd;
    run.result = Wait(Start(launch));
    close(writeOnly);
    close(outFd);
    close(errFd);
    run.out = ReadFile(dir.Path("stdout"));
    run.err = ReadFile(dir.Path("stderr"));
  } else {
    run.result = RunWithInput(launch, input, &run.out, &run.err);
  }
  run.journal = SplitLines(ReadFile(dir.Path("journal")));
  run.deviceFile = ReadFile(deviceFile);
  return run;
}

std::vector<std::string> SplitLines(const std::string& text, const std::string& lineEnd) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(lineEnd, start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no line end>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + lineEnd.size();
  }
  return lines;
}

std::vector<std::string> JournalViolations(const std::vector<std::string>& journal) {
  struct HandleLife {
    int closes = 0;
    bool written = false;  // a write of the rebranding was attempted
    int resetsBeforeClose = 0;
  };
  std::map<std::string, HandleLife> handles;
  std::vector<std::string> violations;
  for (const std::string& line : journal) {
    std::istringstream words(line);
    std::string operation, handle;
    words >> operation >> handle;
    if (operation == "Open") {
      // "Open <index> -> <status> [h<n>]"
      std::string arrow, status, opened;
      words >> arrow >> status >> opened;
      if (status == "0") handles[opened];
      continue;
    }
    if (operation == "GetNumDevices" || operation == "GetProductString") continue;
    auto life = handles.find(handle);
    if (life == handles.end() || life->second.closes > 0) {
      violations.push_back("call on a handle that is not open: " + line);
      continue;
    }
    if (operation == "Close") ++life->second.closes;
    if (operation.rfind("Set", 0) == 0) life->second.written = true;
    if (operation == "Reset") ++life->second.resetsBeforeClose;
  }
  for (const auto& [handle, life] : handles) {
    if (life.closes != 1)
      violations.push_back(handle + " closed " + std::to_string(life.closes) + " times");
    if (life.written && life.resetsBeforeClose != 1)
      violations.push_back(handle + " written and reset " + std::to_string(life.resetsBeforeClose) +
                           " times before its close");
  }
  return violations;
}

// Runs the built program as a child process, the way an operator's console
// would, with chosen standard streams and environment.
#ifndef KORLINTH_TESTS_PROCESS_H
#define KORLINTH_TESTS_PROCESS_H

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;  // the exit status, or -1 when a signal ended the process
  int signal = 0;     // the signal that ended it, if any
};

struct ProcessLaunch {
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;  // added to this process's environment
  std::vector<std::string> unset;          // taken out of it
  int stdinFd = -1;                        // -1: /dev/null
  int stdoutFd = -1;                       // -1: /dev/null
  int stderrFd = -1;                       // -1: /dev/null
};

// Starts the process; the caller waits for it with Wait.
int Start(const ProcessLaunch& launch);
ProcessResult Wait(int pid);

// Runs to the end with `input` on standard input; gives standard output and
// standard error.
ProcessResult RunWithInput(const ProcessLaunch& launch, const std::string& input, std::string* out,
                           std::string* err);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// A temporary folder, removed with everything in it at the end of its scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

#endif  // KORLINTH_TESTS_PROCESS_H

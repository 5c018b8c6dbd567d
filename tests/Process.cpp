#include "Process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

int Start(const ProcessLaunch& launch) {
  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    std::size_t equals = text.find('=');
    if (equals != std::string::npos) env[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : launch.env) env[name] = value;
  for (const std::string& name : launch.unset) env.erase(name);
  std::vector<std::string> envText;
  for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
  std::vector<char*> envp, argv;
  for (auto& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = launch.argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int fds[3] = {launch.stdinFd, launch.stdoutFd, launch.stderrFd};
  for (int target = 0; target < 3; ++target) {
    if (fds[target] >= 0)
      posix_spawn_file_actions_adddup2(&actions, fds[target], target);
    else
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target ? O_WRONLY : O_RDONLY,
                                       0);
  }
  pid_t pid = 0;
  int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  errno = error;
  Check(error == 0, "cannot start " + launch.argv[0]);
  return pid;
}

ProcessResult Wait(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) Check(errno == EINTR, "waitpid");
  ProcessResult result;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProcessResult RunWithInput(const ProcessLaunch& launch, const std::string& input, std::string* out,
                           std::string* err) {
  TempDir dir;
  WriteFile(dir.Path("stdin"), input);
  ProcessLaunch run = launch;
  int in = open(dir.Path("stdin").c_str(), O_RDONLY | O_CLOEXEC);
  int outFd = open(dir.Path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int errFd = open(dir.Path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(in >= 0 && outFd >= 0 && errFd >= 0, "cannot open the standard streams");
  run.stdinFd = in;
  run.stdoutFd = outFd;
  run.stderrFd = errFd;
  ProcessResult result = Wait(Start(run));
  close(in);
  close(outFd);
  close(errFd);
  if (out) *out = ReadFile(dir.Path("stdout"));
  if (err) *err = ReadFile(dir.Path("stderr"));
  return result;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korlinth-XXXXXX").string();
  Check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

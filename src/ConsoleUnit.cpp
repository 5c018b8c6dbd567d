#include "ConsoleUnit.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <limits>

namespace {

[[noreturn]] void RaiseStreamError(const char* what, int error) {
  std::string message = what;
  if (error != 0) {
    message += ": ";
    message += std::strerror(error);
  }
  throw TError(message);
}

}  // namespace

void WriteLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  errno = 0;
  std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cout.flush();
  if (!std::cout) RaiseStreamError("Could not write to standard output", errno);
}

std::string ReadLine(std::size_t keep) {
  std::string line;
  errno = 0;
  char c = 0;
  while (line.size() < keep && std::cin.get(c) && c != '\n') line.push_back(c);
  if (line.size() == keep && std::cin && c != '\n')
    std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  if (std::cin.bad()) RaiseStreamError("Could not read from standard input", errno);
  return line;
}

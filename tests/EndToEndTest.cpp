// The table of end-to-end cases: each runs the built program against the
// simulated library with a device file and the operator's input, and compares
// the whole output, standard error, the exit status and the library calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Harness.h"

#ifndef KORLINTH_CASES
#error "KORLINTH_CASES must name the case table"
#endif

namespace {

using nlohmann::json;

struct Case {
  std::string name;
  json devices;  // the device file's document; null for a raw text or none
  std::string devicesText;
  std::string input;
  std::vector<std::string> output, journal, err;
  int exitCode = 0;
  bool unreadableInput = false;
  std::vector<std::string> platforms;  // empty: every platform
  json saved;                          // fields each device must hold in the saved file, or null
};

// Replaces "@block arg..." lines by the block's lines, with $1, $2... set.
std::vector<std::string> Expand(const json& lines, const json& blocks) {
  std::vector<std::string> expanded;
  for (const json& item : lines) {
    std::string line = item.get<std::string>();
    if (line.empty() || line[0] != '@') {
      expanded.push_back(line);
      continue;
    }
    std::istringstream words(line.substr(1));
    std::string block, arg;
    words >> block;
    std::vector<std::string> args;
    while (words >> arg) args.push_back(arg);
    if (!blocks.contains(block)) throw std::runtime_error("no block named " + block);
    for (std::string text : Expand(blocks[block], blocks)) {
      for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string marker = "$" + std::to_string(i + 1);
        for (std::size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at + args[i].size()))
          text.replace(at, marker.size(), args[i]);
      }
      expanded.push_back(text);
    }
  }
  return expanded;
}

// Output lines write a byte that is not UTF-8 text, which JSON cannot hold,
// as \xHH.
std::string Unescaped(const std::string& line) {
  std::string bytes;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line.compare(i, 2, "\\x") == 0 && i + 4 <= line.size()) {
      bytes += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      bytes += line[i];
    }
  }
  return bytes;
}

std::vector<Case> LoadCases() {
  std::ifstream in(KORLINTH_CASES);
  json table = json::parse(in);
  const json& blocks = table["blocks"];
  std::vector<Case> cases;
  for (const json& entry : table["cases"]) {
    Case c;
    c.name = entry.at("name");
    if (entry.contains("devices")) c.devices = entry["devices"];
    c.devicesText = entry.value("devicesText", "");
    c.input = entry.value("input", "");
    for (const std::string& line : Expand(entry.at("output"), blocks))
      c.output.push_back(Unescaped(line));
    c.journal = Expand(entry.at("journal"), blocks);
    c.err = Expand(entry.value("stderr", json::array()), blocks);
    c.exitCode = entry.value("exit", 0);
    c.unreadableInput = entry.value("stdin", "") == "unreadable";
    c.platforms = entry.value("platforms", std::vector<std::string>{});
    if (entry.contains("saved")) c.saved = entry["saved"];
    cases.push_back(c);
  }
  return cases;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Failure messages name the case, not its bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class EndToEnd : public testing::TestWithParam<Case> {};

TEST_P(EndToEnd, Transcript) {
  const Case& c = GetParam();
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  const std::string platform = program.windows ? "windows" : "linux";
  if (!c.platforms.empty() &&
      std::find(c.platforms.begin(), c.platforms.end(), platform) == c.platforms.end())
    GTEST_SKIP() << "a case for another platform";
  std::string devices = c.devices.is_null() ? c.devicesText : c.devices.dump(2);
  ProgramRun run = program.Run(devices, c.input, c.unreadableInput);

  EXPECT_EQ(run.result.signal, 0);
  EXPECT_EQ(run.result.exitCode, c.exitCode);
  EXPECT_EQ(Joined(SplitLines(run.out, program.lineEnd)), Joined(c.output));
  EXPECT_EQ(Joined(run.journal), Joined(c.journal));
  // The device file's name differs per run: the table calls it DEVICES.
  std::string err = run.err;
  for (std::size_t at = err.find(run.deviceFilePath); at != std::string::npos;
       at = err.find(run.deviceFilePath))
    err.replace(at, run.deviceFilePath.size(), "DEVICES");
  EXPECT_EQ(Joined(SplitLines(err, program.lineEnd)), Joined(c.err));
  EXPECT_EQ(Joined(JournalViolations(run.journal)), "");

  if (!c.saved.is_null()) {
    json after = json::parse(run.deviceFile);
    ASSERT_EQ(after["devices"].size(), c.saved.size());
    for (std::size_t i = 0; i < c.saved.size(); ++i)
      for (auto& [key, value] : c.saved[i].items())
        EXPECT_EQ(after["devices"][i].value(key, json()), value) << "device " << i << ": " << key;
  } else if (!devices.empty()) {
    EXPECT_EQ(run.deviceFile, devices) << "the device file changed";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, testing::ValuesIn(LoadCases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace

#include "cli/help.h"

#include <algorithm>
#include <cstring>
#include <sstream>

std::vector<SwitchHelp> parameterSwitches(const scvardo::Params& defaults, bool withLong) {
  std::vector<SwitchHelp> out;
  for (const scvardo::ParamSpec& row : scvardo::paramTable()) {
    if (row.cliSwitch == nullptr || (!withLong && std::strncmp(row.cliSwitch, "--", 2) == 0))
      continue;
    std::string meaning = row.meaning;
    if (row.onlyWith != nullptr) {
      const scvardo::ParamSpec* flag = scvardo::findParam(row.onlyWith);
      if (flag != nullptr && flag->cliSwitch != nullptr)
        meaning += std::string(" (with ") + flag->cliSwitch +
                   (flag->type == scvardo::ParamSpec::Type::Flag ? ")" : " nonzero)");
    }
    // A flag takes no value: it is off unless given.
    if (row.type == scvardo::ParamSpec::Type::Flag)
      out.push_back({row.cliSwitch, "", row.get(defaults) != 0 ? "on" : "off", "", meaning, row.name});
    else
      out.push_back({row.cliSwitch, row.whole() ? "N" : "X", row.format(row.get(defaults)), row.range,
                     meaning, row.name});
  }
  return out;
}

namespace {

constexpr std::size_t kIndent = 16, kWidth = 79;

// `text` after `head` (padded to the indent), wrapped at word boundaries.
// A head too long for the indent stands on a line of its own.
std::string wrapped(std::string head, const std::string& text) {
  if (head.size() + 1 > kIndent) head += "\n" + std::string(kIndent, ' ');
  head.resize(std::max(head.size(), kIndent), ' ');
  std::string out = head, word;
  std::size_t column = head.size() - (head.rfind('\n') + 1);
  bool lineStart = true;
  std::istringstream words(text);
  while (words >> word) {
    if (!lineStart && column + 1 + word.size() > kWidth) {
      out += "\n" + std::string(kIndent, ' ');
      column = kIndent;
      lineStart = true;
    }
    if (!lineStart) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    lineStart = false;
  }
  return out + "\n";
}

}  // namespace

std::string helpLines(const std::vector<SwitchHelp>& switches) {
  std::string out;
  for (const SwitchHelp& s : switches)
    out += wrapped("  " + s.word + (s.value.empty() ? "" : " " + s.value),
                   s.meaning + " [" + (s.valid.empty() ? "" : s.valid + "; ") + "default " +
                       s.defaultText + "]");
  return out;
}

std::string markdownTable(const std::vector<SwitchHelp>& switches) {
  std::string out =
      "| switch | C++ and Python name | default | valid values | meaning |\n|---|---|---|---|---|\n";
  for (const SwitchHelp& s : switches)
    out += "| `" + s.word + (s.value.empty() ? "" : " " + s.value) + "` | " + (s.name.empty() ? "" : "`" + s.name + "`") +
           " | " + s.defaultText + " | " + s.valid + " | " + s.meaning + " |\n";
  return out;
}

const char* const kExitStatusHelp =
    "Exit status: 0 success; 1 an input cannot be read or is unusable; 2 a bad\n"
    "command line (unknown switch, missing or bad value); 3 the run finished but\n"
    "an output could not be written; 4 not enough memory.\n";

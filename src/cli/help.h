// The switch lists of --help and of the README, made from the parameter
// table so that they cannot drift from what the tools read and check.
#pragma once

#include <string>
#include <vector>

#include "scvardo/params.hpp"

struct SwitchHelp {
  std::string word;          // "-n"
  std::string value;         // "X" (a real), "N" (a whole number)
  std::string defaultText;   // "0.008"
  std::string valid;         // "3, 5, 7 or 9"
  std::string meaning;       // one line
  std::string name;          // the C++ and Python name; "" for a tool's own switch
};

// The parameters' switches in the table's order, with the defaults of
// `defaults`; long options ("--threads") only when `withLong`.
std::vector<SwitchHelp> parameterSwitches(const scvardo::Params& defaults, bool withLong);

// Two lines per switch: the switch, its value and meaning; then, indented,
// the valid values and the default.
std::string helpLines(const std::vector<SwitchHelp>& switches);
// A Markdown table: switch, name, default, valid values, meaning.
std::string markdownTable(const std::vector<SwitchHelp>& switches);

// The lines closing every tool's --help: what its exit statuses mean.
extern const char* const kExitStatusHelp;

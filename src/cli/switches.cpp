#include "cli/switches.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/exit.h"

namespace {

// Joined multi-word values need storage that outlives the call.
std::string& joinedValue() {
  static std::string joined;
  return joined;
}

}  // namespace

// strtod alone would also take nan, inf and hex floats.
bool isDecimalReal(const char* s) {
  while (std::isspace(static_cast<unsigned char>(*s))) ++s;
  if (*s == '+' || *s == '-') ++s;
  int digits = 0;
  while (std::isdigit(static_cast<unsigned char>(*s))) ++s, ++digits;
  if (*s == '.') {
    ++s;
    while (std::isdigit(static_cast<unsigned char>(*s))) ++s, ++digits;
  }
  if (digits == 0) return false;
  if (*s == 'e' || *s == 'E') {
    ++s;
    if (*s == '+' || *s == '-') ++s;
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    while (std::isdigit(static_cast<unsigned char>(*s))) ++s;
  }
  return *s == '\0';
}

const char* Lread_switch(int& argc, char** argv, const char* name, int valueCount,
                         const char* defaultText) {
  if (argc <= 1) return defaultText;
  int i = 1;
  while (i < argc && std::strcmp(argv[i], name) != 0) ++i;
  if (i >= argc) return defaultText;
  if (i + valueCount >= argc)
    failRun(kExitSwitch, stderr, "Lread_switch: Manca arg. dopo \"%s\"\n", argv[i]);
  const char* result = valueCount != 0 ? argv[i + 1] : argv[i];
  std::string joined;
  if (valueCount > 1) {
    joined = result;
    for (int k = 2; k <= valueCount; ++k) {
      joined += ' ';
      joined += argv[i + k];
    }
  }
  const int removed = valueCount + 1;
  for (int k = i + removed; k < argc; ++k) argv[k - removed] = argv[k];
  argc -= removed;
  if (valueCount > 1) {
    joinedValue() = joined;
    return joinedValue().c_str();
  }
  return result;
}

int Lread_iswitch(int& argc, char** argv, const char* name, int defaultValue) {
  const char* word = Lread_switch(argc, argv, name, 1, nullptr);
  if (word == nullptr) return defaultValue;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(word, &end, 0);
  if (*end != '\0') failRun(kExitSwitch, stderr, "Lread_iswitch: Manca arg. per \"%s\"\n", name);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

double Lread_dswitch(int& argc, char** argv, const char* name, double defaultValue) {
  const char* word = Lread_switch(argc, argv, name, 1, nullptr);
  if (word == nullptr) return defaultValue;
  if (*word == '\0') return 0.0;  // an empty value word reads as 0
  const bool decimal = isDecimalReal(word);
  const double value = decimal ? std::strtod(word, nullptr) : 0.0;
  if (!decimal || !std::isfinite(value))  // overflow gives inf
    failRun(kExitSwitch, stderr, "Lread_dswitch: Manca arg. per \"%s\"\n", name);
  return value;
}

// What a timing was measured on: the CPU and the load, for the benchmarks'
// tables.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>

inline std::string cpuName() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  return "unknown CPU";
}

// The 1, 5 and 15 minute load averages: timings on a loaded machine are slower.
inline std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  if (!(in >> a >> b >> c)) return "unknown";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f %.2f %.2f", a, b, c);
  return buf;
}

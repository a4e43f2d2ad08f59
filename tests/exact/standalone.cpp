// The exactness check of every path this CPU runs, as a plain program (no
// OpenCV, no GoogleTest) for other CPUs and emulators (scripts/test-arm.sh).
// Exit status 0 when every path gives the reference's bits, 1 otherwise.
#include <cstdio>

#include "lockstep.h"

int main() {
  int status = 0;
  for (Isa isa : availableIsas()) {
    const std::string failures = syntheticCases(isa);
    std::printf("%s: %s\n", isaName(isa), failures.empty() ? "exact" : "DIFFERS");
    if (!failures.empty()) {
      std::fputs(failures.c_str(), stdout);
      status = 1;
    }
  }
  const std::string conversion = conversionCases(availableIsas(), 1);
  std::printf("conversion of every colour: %s\n", conversion.empty() ? "exact" : "DIFFERS");
  if (!conversion.empty()) {
    std::fputs(conversion.c_str(), stdout);
    status = 1;
  }
  return status;
}

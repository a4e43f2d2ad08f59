#include "schedule/isa.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {

// Best first: the order in which the chooser tries them.
constexpr Isa kPriority[] = {Isa::Avx512, Isa::Avx2, Isa::Sse4, Isa::Neon, Isa::Portable};

// The paths this build compiles (kernels.cpp compiles the same set).
bool built(Isa isa) {
#if defined(__x86_64__) || defined(__i386__)
  return isa != Isa::Neon;
#elif defined(__aarch64__)
  return isa == Isa::Neon || isa == Isa::Portable;
#else
  return isa == Isa::Portable;
#endif
}

// Whether the CPU (and the OS, for the wider registers) runs the path. The
// features are those the kernels are compiled for.
bool cpuRuns(Isa isa) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  const bool sse4 = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1") &&
                    __builtin_cpu_supports("sse4.2");
  const bool avx2 = sse4 && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") &&
                    __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                    __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c");
  const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") &&
                      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
                      __builtin_cpu_supports("avx512bw");
  switch (isa) {
    case Isa::Avx512: return avx512;
    case Isa::Avx2: return avx2;
    case Isa::Sse4: return sse4;
    case Isa::Neon: return false;
    case Isa::Portable: return true;
  }
  return false;
#elif defined(__aarch64__) && defined(__linux__)
  if (isa == Isa::Neon) return (getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0;
  return isa == Isa::Portable;
#else
  return isa == Isa::Portable;
#endif
}

Isa bestIsa() {
  for (Isa isa : kPriority)
    if (isaAvailable(isa)) return isa;
  return Isa::Portable;
}

Isa fromEnvironment() {
  std::string warning;
  const Isa isa = chooseIsa(std::getenv("SCVARDO_ISA"), warning);
  if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
  return isa;
}

std::atomic<int> forced{-1};

}  // namespace

const char* isaName(Isa isa) {
  switch (isa) {
    case Isa::Avx512: return "avx512";
    case Isa::Avx2: return "avx2";
    case Isa::Sse4: return "sse4";
    case Isa::Neon: return "neon";
    case Isa::Portable: return "portable";
  }
  return "portable";
}

bool isaAvailable(Isa isa) { return built(isa) && cpuRuns(isa); }

std::vector<Isa> availableIsas() {
  std::vector<Isa> out;
  for (auto it = std::rbegin(kPriority); it != std::rend(kPriority); ++it)
    if (isaAvailable(*it)) out.push_back(*it);
  return out;
}

Isa chooseIsa(const char* requested, std::string& warning) {
  warning.clear();
  const Isa best = bestIsa();
  if (requested == nullptr || *requested == '\0') return best;
  for (Isa isa : kPriority)
    if (std::strcmp(requested, isaName(isa)) == 0) {
      if (isaAvailable(isa)) return isa;
      warning = std::string("SCVARDO_ISA=") + requested + ": this CPU or build has no " +
                requested + " path; using " + isaName(best);
      return best;
    }
  std::string known;
  for (Isa isa : kPriority) known += std::string(known.empty() ? "" : ", ") + isaName(isa);
  warning = std::string("SCVARDO_ISA=") + requested + " names no path (" + known + "); using " +
            isaName(best);
  return best;
}

Isa activeIsa() {
  static const Isa chosen = fromEnvironment();
  const int f = forced.load(std::memory_order_relaxed);
  return f < 0 ? chosen : static_cast<Isa>(f);
}

void forceIsa(Isa isa) {
  if (isaAvailable(isa)) forced.store(static_cast<int>(isa), std::memory_order_relaxed);
}

// The speed room's chooser of instruction-set paths (SCVARDO_ISA).
#include "test_support.h"

#include <filesystem>

#include "schedule/isa.h"

TEST(Schedule, IsaChooserTakesAvailableNamesAndWarnsOfOthers) {
  const std::vector<Isa> available = availableIsas();
  ASSERT_FALSE(available.empty());
  EXPECT_EQ(available.front(), Isa::Portable);
  const Isa best = available.back();
  std::string warning;
  EXPECT_EQ(chooseIsa(nullptr, warning), best);
  EXPECT_EQ(warning, "");
  EXPECT_EQ(chooseIsa("", warning), best);
  EXPECT_EQ(warning, "");
  for (Isa isa : {Isa::Portable, Isa::Sse4, Isa::Avx2, Isa::Avx512, Isa::Neon}) {
    const Isa got = chooseIsa(isaName(isa), warning);
    if (isaAvailable(isa)) {
      EXPECT_EQ(got, isa) << isaName(isa);
      EXPECT_EQ(warning, "") << isaName(isa);
    } else {
      EXPECT_EQ(got, best) << isaName(isa);
      EXPECT_EQ(warning, std::string("SCVARDO_ISA=") + isaName(isa) + ": this CPU or build has no " +
                             isaName(isa) + " path; using " + isaName(best));
    }
  }
  EXPECT_EQ(chooseIsa("AVX2", warning), best);  // names are lower case
  EXPECT_NE(warning.find("names no path (avx512, avx2, sse4, neon, portable)"), std::string::npos);
}

#include "schedule/threads.h"

// Frames whose time depends only on the way they ran: the choice settles on
// the faster way and tries the other every 64th frame once one is clearly
// faster, every 16th while they are close.
TEST(Schedule, ThreadChoiceTakesTheFasterWayAndTriesTheOther) {
  const struct {
    std::int64_t alone, pool;
    int poolFrames;  // of 640 after the first 20
  } cases[] = {{1000, 600, 630}, {1000, 2000, 10}, {1000, 950, 600}, {1000, 1050, 40}};
  for (const auto& c : cases) {
    ThreadChoice choice;
    int poolFrames = 0;
    for (int f = 0; f < 660; ++f) {
      const bool pool = choice.usePool();
      choice.record(pool ? c.pool : c.alone);
      if (f >= 20) poolFrames += pool;
    }
    EXPECT_EQ(poolFrames, c.poolFrames) << c.alone << " " << c.pool;
  }
}

// SCVARDO_ISA is read once per process: a child shows the path it chose,
// in --version and in the run record, beside the thread count.
TEST(Schedule, IsaFromTheEnvironmentInVersionAndRunRecord) {
  const ScratchDir dir;
  const std::string prefix = makeTinySequence(dir / "seq");
  const struct {
    const char* isa;
    const char* threads;
    std::string record;  // the lines expected in sc-vardo-run.txt
    std::string err;     // expected in stderr
  } cases[] = {
      {"portable", "3", "isa: portable\nthreads: 3\n", ""},
      {"nonsense", "1", std::string("isa: ") + isaName(availableIsas().back()) + "\nthreads: 1\n",
       "SCVARDO_ISA=nonsense names no path"},
  };
  for (const auto& c : cases) {
    const std::string env = std::string("SCVARDO_ISA=") + c.isa;
    const RunResult version = run({"/usr/bin/env", env, SCVARDO_EXE, "--version"});
    EXPECT_NE(version.out.find(std::string("(instruction set ") +
                               (c.err.empty() ? c.isa : isaName(availableIsas().back())) + ")"),
              std::string::npos)
        << version.out;
    EXPECT_NE(version.err.find(c.err), std::string::npos) << version.err;
    const std::string out = dir / c.isa;
    std::filesystem::create_directories(out);
    const RunResult r = run({"/usr/bin/env", env, SCVARDO_EXE, prefix, "--threads", c.threads}, out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(readFile(out + "/sc-vardo-run.txt").find(c.record), std::string::npos)
        << readFile(out + "/sc-vardo-run.txt");
  }
}

// The speed room's chooser of instruction-set paths (SCVARDO_ISA).
#include "test_support.h"

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

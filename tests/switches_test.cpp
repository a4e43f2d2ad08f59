#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace {

// An argument list the switch reader may shrink in place.
struct Args {
  explicit Args(std::vector<std::string> w) : words(std::move(w)) {
    for (auto& s : words) ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
    argc = static_cast<int>(words.size());
  }
  std::vector<std::string> remaining() const {
    return std::vector<std::string>(ptrs.begin(), ptrs.begin() + argc);
  }
  std::vector<std::string> words;
  std::vector<char*> ptrs;
  int argc;
};

int readInt(std::vector<std::string> w, const char* name, int def, int* argcAfter = nullptr) {
  Args a(std::move(w));
  int v = Lread_iswitch(a.argc, a.ptrs.data(), name, def);
  if (argcAfter) *argcAfter = a.argc;
  return v;
}

double readReal(std::vector<std::string> w, const char* name, double def) {
  Args a(std::move(w));
  return Lread_dswitch(a.argc, a.ptrs.data(), name, def);
}

// Runs `body`, expecting it to end the run with status 2 and `message` on stderr.
template <typename F>
void expectSwitchError(F body, const std::string& message) {
  testing::internal::CaptureStderr();
  int status = -1;
  try {
    body();
  } catch (const RunExit& e) {
    status = e.status;
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  EXPECT_EQ(status, 2);
}

}  // namespace

TEST(SwitchReader, AbsentSwitchGivesDefault) {
  EXPECT_EQ(readInt({"prog"}, "-n", 3), 3);
  EXPECT_EQ(readInt({"prog", "seq", "-K", "5"}, "-n", 3), 3);
  EXPECT_EQ(readReal({"prog", "seq"}, "-e1", 0.1), 0.1);
  Args a({"prog", "seq"});
  EXPECT_STREQ(Lread_switch(a.argc, a.ptrs.data(), "-x", 0, "dflt"), "dflt");
  EXPECT_EQ(a.argc, 2);
}

TEST(SwitchReader, IntegerConversions) {
  struct Case {
    const char* word;
    int expected;
  } cases[] = {
      {"0x10", 16}, {"0X1f", 31}, {"010", 8},           {" 5", 5},
      {"-7", -7},   {"", 0},      {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
      {"2147483647", INT_MAX},    {"+12", 12},
  };
  for (const Case& c : cases) EXPECT_EQ(readInt({"prog", "seq", "-n", c.word}, "-n", 3), c.expected) << c.word;
}

TEST(SwitchReader, RealConversions) {
  EXPECT_EQ(readReal({"prog", "-e1", ".5"}, "-e1", 0.1), 0.5);
  EXPECT_EQ(readReal({"prog", "-e1", "1e-2"}, "-e1", 0.1), 0.01);
  EXPECT_EQ(readReal({"prog", "-e1", ""}, "-e1", 0.1), 0.0);
  EXPECT_EQ(readReal({"prog", "-e1", " -2.5"}, "-e1", 0.1), -2.5);
}

TEST(SwitchReader, MalformedValuesEndTheRunWithStatus2) {
  for (const char* word : {"08", "5x", "5 ", "x", "1.5"})
    expectSwitchError([&] { readInt({"prog", "seq", "-n", word}, "-n", 3); },
                      "Lread_iswitch: Manca arg. per \"-n\"\n");
  expectSwitchError([] { readReal({"prog", "-e1", "0.1x"}, "-e1", 0.1); },
                    "Lread_dswitch: Manca arg. per \"-e1\"\n");
  expectSwitchError([] { readInt({"prog", "seq", "-n"}, "-n", 3); },
                    "Lread_switch: Manca arg. dopo \"-n\"\n");
  // The next switch is taken as the value and rejected.
  expectSwitchError([] { readInt({"prog", "seq", "-n", "-K", "4"}, "-n", 3); },
                    "Lread_iswitch: Manca arg. per \"-n\"\n");
  expectSwitchError(
      [] {
        Args a({"prog", "-m", "a"});
        Lread_switch(a.argc, a.ptrs.data(), "-m", 2, nullptr);
      },
      "Lread_switch: Manca arg. dopo \"-m\"\n");
}

TEST(SwitchReader, MatchingIsExactAndCaseSensitive) {
  EXPECT_EQ(readInt({"prog", "seq", "-n5", "-N", "7"}, "-n", 3), 3);
  // Position 1 and the positional slots are searched like any other.
  EXPECT_EQ(readInt({"prog", "-n", "9"}, "-n", 3), 9);
}

TEST(SwitchReader, FoundSwitchIsRemovedAndTheListShrinks) {
  Args a({"prog", "seq", "1", "9", "-n", "5", "-K", "7", "-n", "9"});
  EXPECT_EQ(Lread_iswitch(a.argc, a.ptrs.data(), "-n", 3), 5);
  EXPECT_EQ(a.remaining(), (std::vector<std::string>{"prog", "seq", "1", "9", "-K", "7", "-n", "9"}));
  EXPECT_EQ(Lread_iswitch(a.argc, a.ptrs.data(), "-K", 0), 7);
  EXPECT_EQ(a.remaining(), (std::vector<std::string>{"prog", "seq", "1", "9", "-n", "9"}));

  // A word consumed as a value is no longer a switch for later lookups.
  Args b({"prog", "-e1", "-K", "3"});
  EXPECT_STREQ(Lread_switch(b.argc, b.ptrs.data(), "-e1", 1, nullptr), "-K");
  EXPECT_EQ(Lread_iswitch(b.argc, b.ptrs.data(), "-K", 0), 0);
  EXPECT_EQ(b.remaining(), (std::vector<std::string>{"prog", "3"}));

  // A bare flag returns the switch word; several values are joined by blanks.
  Args c({"prog", "-v", "-p", "a", "b", "tail"});
  EXPECT_STREQ(Lread_switch(c.argc, c.ptrs.data(), "-v", 0, nullptr), "-v");
  EXPECT_STREQ(Lread_switch(c.argc, c.ptrs.data(), "-p", 2, nullptr), "a b");
  EXPECT_EQ(c.remaining(), (std::vector<std::string>{"prog", "tail"}));
}

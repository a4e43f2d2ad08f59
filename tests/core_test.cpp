// Core: the ROI from an image, the memory check, the atomic writer, the
// output-path check, failures at a tool's top and the parameter table.
#include "test_support.h"

#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <set>
#include <system_error>

#include "core/failure.h"
#include "core/memory.h"
#include "core/output_file.h"
#include "core/workers.h"
#include "core/params.h"
#include "core/paths.h"

TEST(Core, RoiFromImage) {
  // 37 rows of 0 above a nonzero pixel, in a view whose rows are 7 of 10 bytes.
  cv::Mat backing(40, 10, CV_8UC1, cv::Scalar(0));
  backing.at<std::uint8_t>(37, 5) = 3;
  backing.col(8) = cv::Scalar(255);  // outside the view
  const RoiMask roi = RoiMask::fromImage(backing.colRange(0, 7));
  EXPECT_EQ(std::vector<int>({roi.W, roi.H, roi.firstRoiRow}), std::vector<int>({7, 40, 37}));
  std::vector<std::uint8_t> want(7 * 40, 0);
  want[37 * 7 + 5] = 3;
  EXPECT_EQ(roi.bytes, want);
  EXPECT_EQ(RoiMask::fromImage(cv::Mat(3, 3, CV_8UC1, cv::Scalar(0))).firstRoiRow, 0);
}

constexpr std::uint64_t GiB = 1ULL << 30;

// The estimate against the tightest of the three limits, the margin
// included; the line names what is needed and what limits it.
TEST(Core, MemoryShortfall) {
  auto room = [](std::uint64_t available, std::uint64_t cgroup, std::uint64_t address, bool physical = false) {
    MemoryRoom r;
    r.available = available;
    r.cgroup = cgroup;
    r.addressSpace = address;
    r.physicalOnly = physical;
    return r;
  };
  const std::tuple<int, int, std::uint64_t, MemoryRoom, const char*> rows[] = {
      {320, 240, 0, room(GiB, kNoLimit, kNoLimit), ""},
      {1, 1, 0, room(100 << 20, kNoLimit, kNoLimit), ""},
      // 12000x12000, n=3: 21.5 GiB of buffers, 24.2 with the margin; the
      // machine's 24 GiB is not what counts, what it has available is.
      {12000, 12000, 0, room(25 * GiB, kNoLimit, kNoLimit), ""},
      {12000, 12000, 0, room(24 * GiB, kNoLimit, kNoLimit),
       "Not enough memory: 12000x12000 frames with n=3 need 24.2 GiB, only 24.0 GiB is available (MemAvailable)"},
      {12000, 12000, 0, room(30 * GiB, 10 * GiB, 30 * GiB),
       "Not enough memory: 12000x12000 frames with n=3 need 24.2 GiB, only 10.0 GiB is left under the cgroup's memory limit"},
      {4000, 4000, 0, room(24 * GiB, kNoLimit, GiB * 21 / 10),
       "Not enough memory: 4000x4000 frames with n=3 need 2.7 GiB, only 2.1 GiB is left under the address-space limit (ulimit -v)"},
      {4000, 4000, 0, room(GiB * 2, kNoLimit, kNoLimit, true),
       "Not enough memory: 4000x4000 frames with n=3 need 2.7 GiB, this machine has 2.0 GiB"},
      // The caller's own buffers count: the same run with 1 GiB of frames.
      {4000, 4000, 0, room(3 * GiB, kNoLimit, kNoLimit), ""},
      {4000, 4000, GiB, room(3 * GiB, kNoLimit, kNoLimit),
       "Not enough memory: 4000x4000 frames with n=3 need 3.9 GiB, only 3.0 GiB is available (MemAvailable)"},
  };
  for (const auto& [W, H, also, r, want] : rows)
    EXPECT_EQ(memoryShortfall(W, H, 3, 1, also, r), want) << W << "x" << H;
  // W*H*n*n overflows 64 bits: refused whatever the room.
  EXPECT_EQ(memoryShortfall(2147483647, 2147483647, 9, 2, 0, room(kNoLimit, kNoLimit, kNoLimit))
                .rfind("Not enough memory: 2147483647x2147483647 frames with n=9 need ", 0),
            0u);
}

// The figures as the kernel gives them: MemAvailable, RLIMIT_AS less
// VmSize, and every memory limit up the cgroup tree (v1 or v2) less what
// it holds, page cache that can be dropped not counted.
TEST(Core, MemoryRoomFromTheSystemFiles) {
  ScratchDir dir;
  writeFile(dir / "meminfo", "MemTotal:       24731388 kB\nMemFree: 1 kB\nMemAvailable:    2097152 kB\n");
  writeFile(dir / "status", "Name:\tsc-vardo\nVmPeak:\t 9999999 kB\nVmSize:\t  524288 kB\n");
  const auto tree = [&](const std::string& root, const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, text] : files) {
      std::filesystem::create_directories(std::filesystem::path(root + "/" + name).parent_path());
      writeFile(root + "/" + name, text);
    }
  };
  tree(dir / "v2", {{"cgroup.controllers", "memory pids\n"},
                    {"job/memory.max", "max\n"},
                    {"job/step/memory.max", std::to_string(3 * GiB) + "\n"},
                    {"job/step/memory.current", std::to_string(2 * GiB) + "\n"},
                    {"job/step/memory.stat", "anon 1\ninactive_file " + std::to_string(GiB / 2) + "\n"}});
  tree(dir / "v1/memory", {{"memory.limit_in_bytes", "9223372036854771712\n"},
                           {"a/memory.limit_in_bytes", std::to_string(4 * GiB) + "\n"},
                           {"a/memory.usage_in_bytes", std::to_string(GiB) + "\n"},
                           {"a/b/memory.limit_in_bytes", "9223372036854771712\n"}});
  writeFile(dir / "cgroup-v2", "0::/job/step\n");
  writeFile(dir / "cgroup-v1", "5:pids:/\n4:memory:/a/b\n0::/\n");
  writeFile(dir / "cgroup-moved", "0::/elsewhere\n");  // not under the mount: its root counts
  const std::tuple<std::string, std::string, std::string, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t> rows[] = {
      // meminfo, cgroup list, mount, RLIMIT_AS; the room: available, cgroup, address space
      {dir / "meminfo", dir / "cgroup-v2", dir / "v2", 3 * GiB, 2 * GiB, GiB * 3 / 2, 5 * GiB / 2},
      {dir / "meminfo", dir / "cgroup-v1", dir / "v1", kNoLimit, 2 * GiB, 3 * GiB, kNoLimit},
      {dir / "meminfo", dir / "cgroup-moved", dir / "v2", kNoLimit, 2 * GiB, kNoLimit, kNoLimit},
      {dir / "meminfo", dir / "none", dir / "v2", GiB / 4, 2 * GiB, kNoLimit, 0},
  };
  for (const auto& [meminfo, list, mount, limit, available, cgroup, address] : rows) {
    MemorySources s;
    s.meminfo = meminfo;
    s.status = dir / "status";
    s.cgroupList = list;
    s.cgroupMount = mount;
    s.addressLimit = limit;
    const MemoryRoom r = memoryRoom(s);
    EXPECT_EQ(std::tuple(r.available, r.cgroup, r.addressSpace, r.physicalOnly),
              std::tuple(available, cgroup, address, false)) << list;
  }
  MemorySources none;
  none.meminfo = dir / "none";
  EXPECT_TRUE(memoryRoom(none).physicalOnly);
}

// A link planted under the final name is replaced, never followed; nothing
// else is left in the folder.
TEST(Core, AtomicWriteReplacesALinkWithoutFollowingIt) {
  ScratchDir dir;
  writeFile(dir / "victim", "keep");
  std::filesystem::create_symlink(dir / "victim", dir / "out.png");
  ASSERT_TRUE(writeFileAtomic(dir / "out.png", "new", 3));
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "out.png"));
  EXPECT_EQ(readFile(dir / "out.png"), "new");
  EXPECT_EQ(readFile(dir / "victim"), "keep");
  EXPECT_EQ(listDir(dir.path()), std::vector<std::string>({"out.png", "victim"}));
  EXPECT_EQ(writeFileAtomic(dir / "no/out.png", "x", 1).status, WriteOutcome::CannotCreate);
}

TEST(Core, DefaultThreadsFollowAffinityAndCpuQuota) {
  const struct {
    int affinity;
    const char* cpuMax;
    int threads;
  } cases[] = {
      {4, "", 4},               {4, "max 100000", 4},     {4, "200000 100000", 2},
      {4, "150000 100000", 2},  {4, "50000 100000", 1},   {2, "800000 100000", 2},
      {0, "", 1},               {3, "garbage", 3},        {8, "100000 0", 8},
  };
  for (const auto& c : cases) EXPECT_EQ(threadsFor(c.affinity, c.cpuMax), c.threads) << c.cpuMax;
  EXPECT_GE(defaultThreads(), 1);
}

// A file filled by name over a run: its temporary exists from the start,
// the final name keeps its old content (or link) until commit, and a
// discarded one leaves nothing.
TEST(Core, PendingFileIsInPlaceOnlyWhenCommitted) {
  ScratchDir dir;
  writeFile(dir / "victim", "keep");
  std::filesystem::create_symlink(dir / "victim", dir / "a.avi");
  {
    PendingFile f;
    ASSERT_TRUE(f.create(dir / "a.avi"));
    EXPECT_TRUE(f.temporary().size() > 4 && f.temporary().compare(f.temporary().size() - 4, 4, ".avi") == 0);
    writeFile(f.temporary(), "video");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "a.avi"));
    ASSERT_TRUE(f.commit());
  }
  EXPECT_EQ(std::tuple(readFile(dir / "a.avi"), readFile(dir / "victim")), std::tuple("video", "keep"));
  {
    PendingFile dropped;
    ASSERT_TRUE(dropped.create(dir / "b.avi"));
  }
  EXPECT_EQ(listDir(dir.path()), std::vector<std::string>({"a.avi", "victim"}));
  PendingFile nowhere;
  EXPECT_EQ(nowhere.create(dir / "no/b.avi").status, WriteOutcome::CannotCreate);
  EXPECT_EQ(nowhere.create(dir / "victim/b.avi").status, WriteOutcome::CannotCreate);
}

// No output on an input or on another output, whatever the spelling;
// links to an input count, an output that is a folder is refused.
TEST(Core, OutputPathsNeverLandOnInputs) {
  ScratchDir dir;
  std::filesystem::create_directories(dir / "frames");
  writeFile(dir / "in.avi", "input");
  std::filesystem::create_symlink(dir / "in.avi", dir / "link.avi");
  writeFile(dir / "old.avi", "old");
  std::filesystem::create_symlink(dir / "old.avi", dir / "a.avi");
  std::filesystem::create_hard_link(dir / "old.avi", dir / "b.avi");
  InDirectory here(dir.path());
  const std::vector<NamedPath> inputs = {{"the input", "in.avi"}, {"the frames", "frames"}};
  const std::tuple<std::vector<NamedPath>, std::vector<NamedPath>, std::string> rows[] = {
      {{{"--overlay", "out.avi"}}, {{"--out", "masks"}}, ""},
      {{{"--overlay", "in.avi"}}, {}, "--overlay in.avi names the same file as the input in.avi"},
      {{{"--overlay", "./frames/../in.avi"}}, {}, "--overlay ./frames/../in.avi names the same file as the input in.avi"},
      {{{"--overlay", dir / "in.avi"}}, {}, "--overlay " + (dir / "in.avi") + " names the same file as the input in.avi"},
      {{{"--overlay", "link.avi"}}, {}, "--overlay link.avi names the same file as the input in.avi"},
      {{{"--mask-video", "m.avi"}, {"--overlay", "./m.avi"}}, {}, "--overlay ./m.avi names the same file as --mask-video m.avi"},
      // Outputs replace their own names: two links to one file are two outputs.
      {{{"--mask-video", "a.avi"}, {"--overlay", "b.avi"}}, {}, ""},
      {{{"--overlay", "frames"}}, {}, "--overlay frames is a folder"},
      {{}, {{"--out", "frames/"}}, "--out frames/ names the same folder as the frames frames"},
      {{}, {{"--out", "frames/."}}, "--out frames/. names the same folder as the frames frames"},
      {{{"--overlay", "new/x.avi"}}, {{"--out", "new/x.avi"}}, "--out new/x.avi names the same folder as --overlay new/x.avi"},
  };
  for (const auto& [files, folders, want] : rows) EXPECT_EQ(pathClash(inputs, files, folders), want);
  EXPECT_EQ(readFile("in.avi"), "input");
}

// What reaches a tool's top: one line and a status, never an abort.
TEST(Core, FailuresAtTheTopOfATool) {
  const std::tuple<std::exception_ptr, int, std::string> rows[] = {
      {std::make_exception_ptr(std::bad_alloc()), 4, "Not enough memory"},
      {std::make_exception_ptr(cv::Exception(cv::Error::StsNoMem, "no", "f", "x.cpp", 1)), 4, "Not enough memory"},
      {std::make_exception_ptr(std::system_error(EAGAIN, std::generic_category())), 4,
       "Cannot start a thread (a limit on processes, threads or memory): Resource temporarily unavailable"},
      {std::make_exception_ptr(cv::Exception(cv::Error::StsBadArg, "bad size", "f", "x.cpp", 1)), 1,
       "Image library failure: bad size"},
      {std::make_exception_ptr(std::system_error(EBADF, std::generic_category())), 1,
       "Unexpected failure: Bad file descriptor"},
      {std::make_exception_ptr(std::logic_error("a bug")), 1, "Unexpected failure: a bug"},
      {std::make_exception_ptr(42), 1, "Unexpected failure"},
  };
  for (const auto& [e, status, line] : rows) {
    const Failure f = failureOf(e);
    EXPECT_EQ(std::tuple(f.status, f.line), std::tuple(status, line));
  }
}

// The parameter table: a row for every field of Params, names and switches
// unique, every default in range, and each range's edges as documented.
TEST(Core, ParameterTable) {
  const scvardo::ParamTable table = scvardo::paramTable();
  std::set<std::string> names, switches, cvNames;
  for (const scvardo::ParamSpec& row : table) {
    names.insert(row.name);
    switches.insert(row.cliSwitch);
    cvNames.insert(row.cvName);
    const bool isInt = row.whole();
    EXPECT_TRUE(isInt == (row.intField != nullptr) && isInt == (row.realField == nullptr)) << row.name;
    EXPECT_TRUE(row.inRange(scvardo::Params())) << row.name;
    EXPECT_EQ(scvardo::findParam(row.name), &row);
    EXPECT_TRUE(row.onlyWith == nullptr || scvardo::findParam(row.onlyWith) != nullptr) << row.name;
  }
  EXPECT_EQ(names.size() + switches.size() + cvNames.size(), 3 * table.size);
  EXPECT_EQ(table.size * 4, sizeof(scvardo::Params)) << "a field of Params without its row";
  const std::tuple<const char*, double, bool> edges[] = {
      {"e1", 0, false},      {"e2", 1e-9, true},     {"e2", NAN, false},     {"e2", INFINITY, false},
      {"c1", 1, true},       {"c1", 1.0001, false},  {"c2", 0, false},       {"gamma", 1, true},
      {"gamma", 1.01, false}, {"gamma", 0, false},   {"beta", 0.69, false},  {"tau_S", 0, true},
      {"tau_S", -0.01, false}, {"tau_H", 180, true}, {"tau_H", 180.5, false}, {"tau_H", 0, true},
      {"n", 9, true},        {"n", 11, false},       {"n", 1, false},        {"K", 0, true},
      {"K", -1, false},      {"medianWidth", 1, true}, {"medianWidth", 255, true}, {"medianWidth", 257, false},
      {"medianWidth", 4, false}, {"threads", 256, true}, {"threads", 257, false}, {"Cw", -7, true},
      {"shadowRemoval", -1, true}, {"adaptive", 1, true},   {"adaptive", 2, false},  {"absorbSpan", 0, false},
      {"absorbSpan", 1000000, true}, {"absorbSpan", 1000001, false}, {"thresholdLow", 0, false},
      {"thresholdLow", 0.06, true}, {"thresholdLow", 0.07, false}, {"thresholdHigh", 0.003, false},
      {"distanceGain", 0, true}, {"distanceGain", -0.1, false}, {"flickerTrain", 1, true},
      {"flickerTrain", 1.01, false}, {"flickerTrain", NAN, false}};
  for (const auto& [name, value, ok] : edges) {
    scvardo::Params p;
    scvardo::findParam(name)->set(p, value);
    EXPECT_EQ(paramsProblem(p).empty(), ok) << name << " " << value << ": " << paramsProblem(p);
  }
  scvardo::Params p;
  p.tau_H = -3;
  EXPECT_EQ(paramsProblem(p), "invalid tau_H -3.0: it must be in [0, 180]");
  p.tau_H = NAN;
  EXPECT_EQ(paramsProblem(p), "invalid tau_H: not a finite number");
}

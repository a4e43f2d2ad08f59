#include "test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace fs = std::filesystem;

static std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

RunResult run(const std::vector<std::string>& argv, const std::string& workDir) {
  ScratchDir io("io");  // output goes to files: a chatty child never blocks on a pipe
  std::string command = "cd " + quoted(workDir) + " &&";
  for (const std::string& a : argv) command += " " + quoted(a);
  const int status = std::system((command + " >" + quoted(io / "out") + " 2>" + quoted(io / "err") + " </dev/null").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(io / "out"), readFile(io / "err")};
}

bool succeedsWithFileSizeLimit(long maxFileBytes, const std::string& errPath, const std::function<bool()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit then fails with EFBIG
    const rlimit limit{static_cast<rlim_t>(maxFileBytes), static_cast<rlim_t>(maxFileBytes)};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(body() ? 0 : 3);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ScratchDir::ScratchDir(const std::string& tag) {
  fs::create_directories(fs::temp_directory_path() / "scvardo-tests");
  path_ = (fs::temp_directory_path() / "scvardo-tests" / (tag + "-XXXXXX")).string();
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}
ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

InDirectory::InDirectory(const std::string& dir) : previous(fs::current_path()) { fs::current_path(dir); }
InDirectory::~InDirectory() {
  std::error_code ec;
  fs::current_path(previous, ec);
}


std::string readFile(const std::string& path) {
  std::ostringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> outputNames(std::vector<int> masks, std::vector<int> models) {
  std::vector<std::string> out;
  char buf[64];
  for (int f : masks) out.emplace_back(buf, std::snprintf(buf, sizeof buf, "bin%06d.png", f));
  for (int f : models) out.emplace_back(buf, std::snprintf(buf, sizeof buf, "Model%06d.ppm", f));
  std::sort(out.begin(), out.end());
  return out;
}

std::string sharedSequence(const std::string& name) {
  const fs::path p = fs::path(SCVARDO_SOURCE_DIR) / ".." / "shared" / "data" / name;
  return fs::exists(p / "temporalROI.txt") ? fs::canonical(p).string() : std::string();
}

const std::string& sampleSequenceDir() {
  static ScratchDir dir("sample");
  static const std::string seq = [] {
    const RunResult r = run({SCVARDO_MAKE_SAMPLE, dir / "seq"});
    if (r.status != 0) throw std::runtime_error("make-sample failed: " + r.err);
    return dir / "seq";
  }();
  return seq;
}

std::string makeTinySequence(const std::string& dir, const TinySequence& t) {
  fs::create_directories(dir + "/input");
  for (int f = t.first; f <= t.last; ++f) {
    cv::Mat img(t.H, t.W, CV_8UC3);
    for (int r = 0; r < t.H; ++r)
      for (int c = 0; c < t.W; ++c) img.at<cv::Vec3b>(r, c) = cv::Vec3b(40 + 10 * c, 60 + 15 * r, 90);
    const int x = (f - t.first) % t.W;
    img(cv::Range(0, std::min(2, t.H)), cv::Range(x, std::min(x + 2, t.W))) = cv::Scalar(20, 20, 230);
    char name[64];
    std::snprintf(name, sizeof name, "/input/in%06d.jpg", f);
    if (!cv::imwrite(dir + name, img, {cv::IMWRITE_JPEG_QUALITY, 100})) throw std::runtime_error("cannot write " + dir);
  }
  if (t.roiW != 0) cv::imwrite(dir + "/ROI.bmp", cv::Mat(t.H, t.roiW < 0 ? t.W : t.roiW, CV_8UC1, cv::Scalar(255)));
  if (!t.temporalRoi.empty()) writeFile(dir + "/temporalROI.txt", t.temporalRoi + "\n");
  return dir + "/input/in";
}

void setCone(FloatPlanes& planes, std::size_t i, const ConeColor& c) {
  planes[0][i] = c.x;
  planes[1][i] = c.y;
  planes[2][i] = c.v;
}

FloatPlanes filledPlanes(std::size_t len, const ConeColor& c) {
  FloatPlanes p(3, len);
  for (std::size_t i = 0; i < len; ++i) setCone(p, i, c);
  return p;
}

long firstDifference(const FloatPlanes& a, const FloatPlanes& b) {
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    for (int k = 0; k < 3; ++k)
      if (std::memcmp(&a[k][i], &b[k][i], sizeof(float)) != 0) return static_cast<long>(i);
  return a.size() == b.size() ? -1 : static_cast<long>(std::min(a.size(), b.size()));
}

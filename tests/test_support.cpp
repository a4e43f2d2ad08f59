#include "test_support.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>
#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

std::string slurpFd(int fd) {
  std::string s;
  char buf[4096];
  ssize_t k;
  while ((k = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(k));
  return s;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const std::string& workDir) {
  // Output goes to files so that a chatty child cannot block on a full pipe.
  char outTmpl[] = "/tmp/scvardo-out-XXXXXX";
  char errTmpl[] = "/tmp/scvardo-err-XXXXXX";
  int outFd = mkstemp(outTmpl);
  int errFd = mkstemp(errTmpl);
  if (outFd < 0 || errFd < 0) throw std::runtime_error("mkstemp failed");
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(workDir.c_str()) != 0) _exit(127);
    close(0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  RunResult r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  lseek(outFd, 0, SEEK_SET);
  lseek(errFd, 0, SEEK_SET);
  r.out = slurpFd(outFd);
  r.err = slurpFd(errFd);
  close(outFd);
  close(errFd);
  unlink(outTmpl);
  unlink(errTmpl);
  return r;
}

RunResult runTool(const std::vector<std::string>& args, const std::string& workDir) {
  std::vector<std::string> argv{exePath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, workDir);
}

bool succeedsWithFileSizeLimit(long maxFileBytes, const std::string& errPath,
                               const std::function<bool()>& body) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    // A write beyond the limit then fails with EFBIG instead of killing us.
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{static_cast<rlim_t>(maxFileBytes), static_cast<rlim_t>(maxFileBytes)};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(body() ? 0 : 3);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ScratchDir::ScratchDir(const std::string& tag) {
  fs::path base = fs::temp_directory_path() / "scvardo-tests";
  fs::create_directories(base);
  std::string tmpl = (base / (tag + "-XXXXXX")).string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

bool fileExists(const std::string& path) { return fs::exists(path); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string sharedDataDir() {
  fs::path p = fs::path(SCVARDO_SOURCE_DIR) / ".." / "shared" / "data";
  return fs::is_directory(p) ? fs::canonical(p).string() : std::string();
}

const std::string& sampleSequenceDir() {
  static const std::string dir = [] {
    fs::path base = fs::temp_directory_path() / "scvardo-tests";
    fs::create_directories(base);
    std::string d = (base / ("sample-" + std::to_string(getpid()))).string();
    RunResult r = run({makeSamplePath(), d});
    if (r.status != 0) throw std::runtime_error("make-sample failed: " + r.err);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(fs::temp_directory_path() / "scvardo-tests" /
                         ("sample-" + std::to_string(getpid())),
                     ec);
    });
    return d;
  }();
  return dir;
}

std::string makeTinySequence(const std::string& dir, const TinySequence& tiny) {
  fs::create_directories(dir + "/input");
  for (int f = tiny.first; f <= tiny.last; ++f) {
    cv::Mat img(tiny.H, tiny.W, CV_8UC3);
    for (int r = 0; r < tiny.H; ++r)
      for (int c = 0; c < tiny.W; ++c)
        img.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uchar>(40 + 10 * c),
                                            static_cast<uchar>(60 + 15 * r), 90);
    const int x = (f - tiny.first) % tiny.W;
    for (int r = 0; r < std::min(2, tiny.H); ++r)
      for (int c = x; c < std::min(x + 2, tiny.W); ++c)
        img.at<cv::Vec3b>(r, c) = cv::Vec3b(20, 20, 230);
    char name[64];
    std::snprintf(name, sizeof name, "/input/in%06d.jpg", f);
    if (!cv::imwrite(dir + name, img, {cv::IMWRITE_JPEG_QUALITY, 100}))
      throw std::runtime_error("cannot write tiny sequence");
  }
  if (tiny.withRoi) {
    const int rw = tiny.roiW < 0 ? tiny.W : tiny.roiW;
    const int rh = tiny.roiH < 0 ? tiny.H : tiny.roiH;
    cv::Mat roi(rh, rw, CV_8UC1, cv::Scalar(255));
    cv::imwrite(dir + "/ROI.bmp", roi);
  }
  if (!tiny.temporalRoi.empty()) writeFile(dir + "/temporalROI.txt", tiny.temporalRoi + "\n");
  return dir + "/input/in";
}

std::string exePath() { return SCVARDO_EXE; }
std::string makeSamplePath() { return SCVARDO_MAKE_SAMPLE; }

}  // namespace testsupport

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/frame_reader.h"
#include "scvardo/scvardo.hpp"

namespace {

const char* const kUsagePieces[] = {
    "SC-VARDO: implementation of the\n\n",
    "'Spatially Coherent VARDO background model'\n\n",
    "as described in\n",
    "  The SC-VARDO developers\n",
    "  'SC-VARDO: a neural background model with spatial coherence'\n",
    "  SC-VARDO project documentation (README.md)\n\n",
    "Usage:\n",
    "  SC-VARDO <SeqName> [<#FirstFrame> <#LastFrame>] [Parameters]\n\n",
    "<SeqName>:     sequence name (complete path)\n",
    "<#FirstFrame>: number of first sequence frame. Default 1\n",
    "<#LastFrame>:  number of last sequence frame. Default toIdx (see 'temporal ROI')\n",
    "[parameters]:  optional, including:\n",
    "  -n #:   (square root of) number of weight vectors for each pixel. Default 3\n",
    "  -K #:\t  Number of initial frames for training. Default fromIdx - 1 (see 'temporal ROI')\n",
    "  -e1 #:  Distance threshold for training phase (Eq. (12)). Default 0.1\n",
    "  -e2 #:  Distance threshold for testing phase  (Eq. (12)). Default 0.008\n",
    "  -c1 #:  Learning rate c1 for training phase (Eq. (14)). Default 1.0\n",
    "  -c2 #:  Learning rate c2 for testing phase  (Eq. (14)). Default 0.05\n",
    "  -Cw #:  Size of the neighbourhood for Spatial Coherence (Eq. (10)). Default 5\n",
    "  -s #:   To apply shadow removal. Default 1 (apply)\n",
    "  -g #:\t  Value for gamma in shadow removal. Default 0.7\n",
    "  -b #:\t  Value for beta  in shadow removal. Default 1.0\n",
    "  -tS #:  Value for tau_S in shadow removal. Default 0.1\n",
    "  -tH #:  Value for tau_H in shadow removal. Default 10.0\n",
    "  -ROI #: To use ROI.bmp mask. Default: 1 (do use)\n",
    "  -Med #: Size of the neighbourhood for Median Filtering Post-Processing. Default 0 (no "
    "Post-Processing)\n",
    "  -m #:   To save all background model images. Default: do not save\n",
    "  -l #:   To save only last detection mask. Default: save all in the temporal ROI\n",
};

// Plain decimal conversion of a positional frame number: leading blanks and a
// sign accepted, stops at the first non-digit, never an error.
int positionalNumber(const char* word) {
  errno = 0;
  long long v = std::strtoll(word, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

int clampToInt(long long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

SequencePaths splitSequenceName(const std::string& name) {
  SequencePaths p;
  std::size_t cut = name.find_last_of("/\\");
  if (cut == std::string::npos) {
    p.seqBase = name;
  } else {
    p.seqDir = name.substr(0, cut + 1);
    p.seqBase = name.substr(cut + 1);
  }
  if (p.seqBase.empty()) p.seqBase = "L0";
  p.framePrefix = p.seqDir + p.seqBase;
  return p;
}

// Reads the two integers of a temporal-ROI file. Returns false when the file
// cannot be opened; anything but a small regular file holding two integers
// is an error.
bool readTemporalRoi(const std::string& file, int& fromIdx, int& toIdx) {
  // Non-blocking: a FIFO in its place must not stall the run.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    failRun(kExitInput, stdout, "Temporal ROI file %s is not a regular file\n", file.c_str());
  }
  std::string text(kTemporalRoiMaxBytes + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t k = ::read(fd, &text[got], text.size() - got);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    got += static_cast<std::size_t>(k);
  }
  ::close(fd);
  if (got > kTemporalRoiMaxBytes)
    failRun(kExitInput, stdout, "Temporal ROI file %s is larger than %zu bytes\n", file.c_str(),
            kTemporalRoiMaxBytes);
  text.resize(got);
  if (!parseTemporalRoi(text, fromIdx, toIdx))
    failRun(kExitInput, stdout, "Malformed temporal ROI file %s\n", file.c_str());
  return true;
}

}  // namespace

void printUsage() {
  for (const char* piece : kUsagePieces) std::fputs(piece, stdout);
  std::fflush(stdout);
}

void waitForKey() {
  if (isatty(STDIN_FILENO)) {
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
      termios raw = saved;
      raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      tcsetattr(STDIN_FILENO, TCSANOW, &raw);
      char key;
      ssize_t got;
      do {
        got = read(STDIN_FILENO, &key, 1);
      } while (got < 0 && errno == EINTR);
      tcsetattr(STDIN_FILENO, TCSANOW, &saved);
      return;
    }
  }
  // Not a terminal (a pipe, a file, or closed): one byte, or nothing at end of input.
  char key;
  ssize_t got;
  do {
    got = read(STDIN_FILENO, &key, 1);
  } while (got < 0 && errno == EINTR);
}

int takeThreadsOption(int& argc, char** argv) {
  static const char kName[] = "--threads";
  const std::size_t nameLen = sizeof kName - 1;
  int threads = 0;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const char* value = nullptr;
    if (std::strcmp(word, kName) == 0) {
      if (i + 1 >= argc) failRun(kExitSwitch, stderr, "Missing value after \"--threads\"\n");
      value = argv[++i];
    } else if (std::strncmp(word, kName, nameLen) == 0 && word[nameLen] == '=') {
      value = word + nameLen + 1;
    } else {
      argv[kept++] = argv[i];
      continue;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(value, &end, 10);
    if (*value < '0' || *value > '9' || *end != '\0' || errno == ERANGE || v > scvardo::kMaxThreads)
      failRun(kExitSwitch, stderr,
              "Invalid value \"%s\" for \"--threads\": it must be 0 (every hardware thread) to %d\n",
              value, scvardo::kMaxThreads);
    threads = static_cast<int>(v);
  }
  argc = kept;
  argv[argc] = nullptr;
  return threads;
}

void takeAdaptiveOptions(int& argc, char** argv, scvardo::Params& params) {
  const struct {
    const char* name;
    int* integer;
    float* real;
  } options[] = {{"--absorb-span", &params.absorbSpan, nullptr},
                 {"--threshold-low", nullptr, &params.thresholdLow},
                 {"--threshold-high", nullptr, &params.thresholdHigh},
                 {"--distance-gain", nullptr, &params.distanceGain},
                 {"--flicker-train", nullptr, &params.flickerTrain}};
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (std::strcmp(word, "--adaptive") == 0) {
      params.adaptive = 1;
      continue;
    }
    bool taken = false;
    for (const auto& o : options) {
      if (std::strcmp(word, o.name) != 0) continue;
      if (i + 1 >= argc) failRun(kExitSwitch, stderr, "Missing value after \"%s\"\n", o.name);
      const char* value = argv[++i];
      char* end = nullptr;
      errno = 0;
      if (o.integer) {
        const long v = std::strtol(value, &end, 10);
        if (end == value || *end != '\0' || errno == ERANGE || v < 0 || v > INT_MAX)
          failRun(kExitSwitch, stderr, "Invalid value \"%s\" for \"%s\"\n", value, o.name);
        *o.integer = static_cast<int>(v);
      } else {
        const double v = std::strtod(value, &end);
        if (end == value || *end != '\0' || errno == ERANGE || !(v >= 0.0 && v < 1e30))
          failRun(kExitSwitch, stderr, "Invalid value \"%s\" for \"%s\"\n", value, o.name);
        *o.real = static_cast<float>(v);
      }
      taken = true;
    }
    if (!taken) argv[kept++] = argv[i];
  }
  argc = kept;
  argv[argc] = nullptr;
}

bool runSetup(int argc, char** argv, RunSetup& setup, const std::function<void()>& beforeReport) {
  // The switch reader and the positional numbers must not see it.
  std::vector<char*> words(argv, argv + argc);
  words.push_back(nullptr);
  setup.params.threads = takeThreadsOption(argc, words.data());
  takeAdaptiveOptions(argc, words.data(), setup.params);
  argv = words.data();
  if (argc == 1) {
    printUsage();
    std::fputs("Hit any key to continue...\n", stdout);
    std::fflush(stdout);
    waitForKey();
    return false;
  }
  // The switch reader shrinks the list in place: `words` is our own copy.
  char** args = words.data();

  setup.paths = splitSequenceName(args[1]);
  FrameRange& range = setup.range;
  if (argc > 3) {
    range.firstFrame = positionalNumber(args[2]);
    range.lastFrame = positionalNumber(args[3]);
  } else {
    range.firstFrame = 1;
    range.lastFrame = 1;
  }

  scvardo::Params& p = setup.params;
  OutputChoices& o = setup.outputs;
  p.n = Lread_iswitch(argc, args, "-n", 3);
  range.K = Lread_iswitch(argc, args, "-K", 0);
  p.e1 = static_cast<float>(Lread_dswitch(argc, args, "-e1", 0.1));
  p.e2 = static_cast<float>(Lread_dswitch(argc, args, "-e2", 0.008));
  p.c1 = static_cast<float>(Lread_dswitch(argc, args, "-c1", 1.0));
  p.c2 = static_cast<float>(Lread_dswitch(argc, args, "-c2", 0.05));
  p.Cw = Lread_iswitch(argc, args, "-Cw", 5);
  p.gamma = static_cast<float>(Lread_dswitch(argc, args, "-g", 0.7));
  p.beta = static_cast<float>(Lread_dswitch(argc, args, "-b", 1.0));
  p.tau_S = static_cast<float>(Lread_dswitch(argc, args, "-tS", 0.1));
  p.tau_H = static_cast<float>(Lread_dswitch(argc, args, "-tH", 10.0));
  p.shadowRemoval = Lread_iswitch(argc, args, "-s", 1);
  p.medianWidth = Lread_iswitch(argc, args, "-Med", 0);
  o.saveAllModels = Lread_iswitch(argc, args, "-m", 0);
  o.lastMaskOnly = Lread_iswitch(argc, args, "-l", 0);
  o.useRoi = Lread_iswitch(argc, args, "-ROI", 1);

  // No weight kernel exists for other block sides.
  if (!isSupportedBlockSize(p.n))
    failRun(kExitSwitch, stderr,
            "Invalid value %d for \"-n\": the block side must be 3, 5, 7 or 9\n", p.n);
  if (p.medianWidth < 0 || (p.medianWidth > 0 && p.medianWidth % 2 == 0))
    failRun(kExitSwitch, stderr,
            "Invalid value %d for \"-Med\": the median width must be 0 (off) or odd\n",
            p.medianWidth);

  const std::string adaptiveProblem = paramsProblem(p);
  if (p.adaptive != 0 && !adaptiveProblem.empty())
    failRun(kExitSwitch, stderr, "Invalid adaptive switches: %s\n", adaptiveProblem.c_str());

  const std::string& seqDir = setup.paths.seqDir;
  std::string temporalRoiFile;
  if (range.K == 0) {
    int fromIdx = 0, toIdx = 0;
    if (readTemporalRoi(seqDir + "../temporalROI.txt", fromIdx, toIdx)) {
      temporalRoiFile = seqDir + "../temporalROI.txt";
      range.fromIdx = fromIdx;
      range.toIdx = toIdx;
      // Calibration frames are counted from the run's first frame.
      const long long k = static_cast<long long>(fromIdx) - range.firstFrame;
      range.K = k > 0 ? clampToInt(k) : 0;
      if (range.lastFrame == 1) range.lastFrame = toIdx;
    } else {
      range.fromIdx = range.firstFrame;
      range.toIdx = range.lastFrame;
    }
  } else {
    range.fromIdx = clampToInt(static_cast<long long>(range.firstFrame) + range.K);
    range.toIdx = range.lastFrame;
  }

  const std::string plan = framePlanProblem(range, temporalRoiFile);
  if (!plan.empty()) failRun(kExitInput, stdout, "%s\n", plan.c_str());

  FrameReader reader;
  const std::string firstName = frameFileName(setup.paths.framePrefix, range.firstFrame);
  readImageOrExit(reader, firstName, true, setup.firstFrame);
  setup.W = setup.firstFrame.cols;
  setup.H = setup.firstFrame.rows;
  const int W = setup.W, H = setup.H;

  const int minSide = minFrameSide(p.Cw);
  if (W < minSide || H < minSide)
    failRun(kExitInput, stdout,
            "Frame %s is %dx%d; the spatial coherence filter needs at least %dx%d\n",
            firstName.c_str(), W, H, minSide, minSide);
  if (!medianWidthUsable(p.medianWidth))
    failRun(kExitSwitch, stderr,
            "Invalid value %d for \"-Med\": too large a median width for %dx%d frames\n",
            p.medianWidth, W, H);

  if (o.useRoi != 0) {
    const std::string roiName = seqDir + "../ROI.bmp";
    cv::Mat roiImage;
    readImageOrExit(reader, roiName, false, roiImage);
    if (roiImage.cols != W || roiImage.rows != H)
      failRun(kExitInput, stdout, "ROI image %s is %dx%d but the frames are %dx%d\n",
              roiName.c_str(), roiImage.cols, roiImage.rows, W, H);
    setup.roi = RoiMask::fromImage(roiImage);
  } else {
    setup.roi = RoiMask::all(W, H);
  }

  if (beforeReport) beforeReport();
  std::fputs(settingsReport(setup).c_str(), stdout);
  std::fflush(stdout);
  // Without calibration whatever is in the first frame stays foreground.
  if (range.K <= 0)
    std::fprintf(stderr,
                 "Warning: K=%d, no calibration will happen (no -K and no temporalROI.txt); "
                 "set the number of calibration frames with -K N, e.g. -K 50\n",
                 range.K);
  return true;
}

std::string settingsReport(const RunSetup& s) {
  const scvardo::Params& p = s.params;
  const OutputChoices& o = s.outputs;
  const FrameRange& f = s.range;
  std::string out;
  char line[512];
  auto add = [&](int len) { out.append(line, static_cast<std::size_t>(len < 0 ? 0 : len)); };
  out += "VARDO-CF on sequence " + s.paths.seqDir + s.paths.seqBase + "\n\n\n";
  add(std::snprintf(line, sizeof line, "No. of images =         %d (from %d to %d)\n",
                    clampToInt(static_cast<long long>(f.lastFrame) - f.firstFrame + 1),
                    f.firstFrame, f.lastFrame));
  add(std::snprintf(line, sizeof line, "Image size =            %d x %d\n", s.W, s.H));
  add(std::snprintf(line, sizeof line, "Frames for calibration: K=%d\n", f.K));
  add(std::snprintf(line, sizeof line, "Temporal ROI:           [%d,%d]\n", f.fromIdx, f.toIdx));
  add(std::snprintf(line, sizeof line,
                    "Neighborhood size:      n=%d (%d weight vectors per pixel)\n", p.n,
                    p.n * p.n));
  add(std::snprintf(line, sizeof line,
                    "Distance thresholds:    e1=%.4f (calibration), e2=%.4f (online)\n",
                    static_cast<double>(p.e1), static_cast<double>(p.e2)));
  add(std::snprintf(line, sizeof line,
                    "Learning rates:         c1=%.4f (calibration), c2=%.4f (online)\n",
                    static_cast<double>(p.c1), static_cast<double>(p.c2)));
  add(std::snprintf(line, sizeof line, "Shadow removal  (0/1):  %d", p.shadowRemoval));
  if (p.shadowRemoval != 0)
    add(std::snprintf(line, sizeof line,
                      " (gamma = %.4f, beta = %.4f, Th_S = %.4f, Th_H = %.4f)\n",
                      static_cast<double>(p.gamma), static_cast<double>(p.beta),
                      static_cast<double>(p.tau_S), static_cast<double>(p.tau_H)));
  else
    out += "\n";
  add(std::snprintf(line, sizeof line, "Spatial Coherence:      Cw = %d\n", p.Cw));
  add(std::snprintf(line, sizeof line, "ROI (0/1):              %d\n", o.useRoi));
  out += "Median postproc. (0/1): ";
  if (p.medianWidth != 0)
    add(std::snprintf(line, sizeof line, "1 (width = %d)\n", p.medianWidth));
  else
    out += "0\n";
  add(std::snprintf(line, sizeof line, "Save all models (0/1):  %d\n", o.saveAllModels));
  add(std::snprintf(line, sizeof line, "Save all masks  (0/1):  %d\n",
                    clampToInt(1LL - o.lastMaskOnly)));
  if (p.adaptive != 0)
    add(std::snprintf(line, sizeof line,
                      "Adaptive (0/1):         1 (absorb span = %d, thresholds %.4f..%.4f, "
                      "distance gain = %.2f, flicker train = %.2f)\n",
                      p.absorbSpan, static_cast<double>(p.thresholdLow),
                      static_cast<double>(p.thresholdHigh), static_cast<double>(p.distanceGain),
                      static_cast<double>(p.flickerTrain)));
  return out;
}

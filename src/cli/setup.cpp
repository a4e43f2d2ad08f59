#include "cli/setup.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli/exit.h"
#include "cli/frame_reader.h"
#include "cli/help.h"
#include "cli/switches.h"
#include "core/params.h"
#include "scvardo/scvardo.hpp"

namespace {

// The switches of sc-vardo alone, looked up after the parameters' in this
// order. Their values are kept as given (the report prints them unchanged).
struct OutputSwitch {
  const char* word;
  int OutputChoices::*field;
  const char* meaning;
};
const OutputSwitch kOutputSwitches[] = {
    {"-m", &OutputChoices::saveAllModels,
     "nonzero: a model snapshot after the first frame and after every online frame, none at the "
     "phase ends"},
    {"-l", &OutputChoices::lastMaskOnly, "nonzero: only the last frame's mask"},
    {"-ROI", &OutputChoices::useRoi, "0: ignore ROI.bmp and process every pixel"},
};

bool isLongOption(const char* word) { return std::strncmp(word, "--", 2) == 0; }

// sc-vardo's own K: without -K it comes from temporalROI.txt.
scvardo::Params toolDefaults() {
  scvardo::Params p;
  p.K = 0;
  return p;
}

// Every switch of sc-vardo in lookup order, the long options last.
std::vector<SwitchHelp> allSwitches() {
  std::vector<SwitchHelp> out = parameterSwitches(toolDefaults(), false);
  for (SwitchHelp& s : out)
    if (s.name == "K") s.defaultText = "fromIdx - 1 (temporalROI.txt), else 0";
  const OutputChoices defaults;
  for (const OutputSwitch& s : kOutputSwitches)
    out.push_back({s.word, "N", std::to_string(defaults.*s.field), "a whole number", s.meaning, ""});
  for (SwitchHelp& s : parameterSwitches(toolDefaults(), true))
    if (isLongOption(s.word.c_str())) {
      s.meaning += "; anywhere on the line" + (s.value.empty() ? "" : ", also " + s.word + "=" + s.value);
      out.push_back(s);
    }
  return out;
}

// Whole decimal numbers only: blanks, a sign, digits.
bool isWholeNumber(const char* word) {
  while (std::isspace(static_cast<unsigned char>(*word))) ++word;
  if (*word == '+' || *word == '-') ++word;
  if (!std::isdigit(static_cast<unsigned char>(*word))) return false;
  while (std::isdigit(static_cast<unsigned char>(*word))) ++word;
  return *word == '\0';
}

// The parameters' switches in the table's order, then sc-vardo's own; each
// absent switch keeps the value it has.
void readSwitches(int& argc, char** args, scvardo::Params& p, OutputChoices& o) {
  for (const scvardo::ParamSpec& row : scvardo::paramTable()) {
    if (row.cliSwitch == nullptr || isLongOption(row.cliSwitch)) continue;
    if (row.whole())
      p.*row.intField = Lread_iswitch(argc, args, row.cliSwitch, p.*row.intField);
    else
      p.*row.realField = static_cast<float>(Lread_dswitch(argc, args, row.cliSwitch, p.*row.realField));
  }
  for (const OutputSwitch& s : kOutputSwitches) o.*s.field = Lread_iswitch(argc, args, s.word, o.*s.field);
}

[[noreturn]] void refuseValue(const scvardo::ParamSpec& row, const std::string& value) {
  failRun(kExitSwitch, stderr, "Invalid value %s for \"%s\": it must be %s\n", value.c_str(),
          row.cliSwitch, row.range);
}

int clampToInt(long long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// A positional frame number (a whole number): beyond the int range it saturates.
int positionalNumber(const char* word) { return clampToInt(std::strtoll(word, nullptr, 10)); }

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
  switch (readTemporalRoiFile(file, fromIdx, toIdx)) {
    case TemporalRoiRead::Ok:
      return true;
    case TemporalRoiRead::Absent:
      return false;
    case TemporalRoiRead::NotRegular:
      failRun(kExitInput, stdout, "Temporal ROI file %s is not a regular file\n", file.c_str());
    case TemporalRoiRead::TooLarge:
      failRun(kExitInput, stdout, "Temporal ROI file %s is larger than %zu bytes\n", file.c_str(),
              kTemporalRoiMaxBytes);
    case TemporalRoiRead::Malformed:
      break;
  }
  failRun(kExitInput, stdout, "Malformed temporal ROI file %s\n", file.c_str());
}

}  // namespace

void printUsage() {
  for (const char* piece : usagePieces()) std::fputs(piece, stdout);
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

void takeLongOptions(int& argc, char** argv, scvardo::Params& params) {
  // Ranges are checked once every long option is in: one bound may follow
  // the other on the line.
  std::vector<std::pair<const scvardo::ParamSpec*, const char*>> given;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const scvardo::ParamSpec* row = nullptr;
    const char* value = nullptr;
    for (const scvardo::ParamSpec& r : scvardo::paramTable()) {
      if (r.cliSwitch == nullptr || !isLongOption(r.cliSwitch)) continue;
      const std::size_t len = std::strlen(r.cliSwitch);
      if (r.type == scvardo::ParamSpec::Type::Flag) {
        // No value: the flag is on.
        if (std::strcmp(word, r.cliSwitch) == 0) {
          row = &r;
          value = "1";
        }
      } else if (std::strcmp(word, r.cliSwitch) == 0) {
        if (i + 1 >= argc) failRun(kExitSwitch, stderr, "Missing value after \"%s\"\n", r.cliSwitch);
        row = &r;
        value = argv[++i];
      } else if (std::strncmp(word, r.cliSwitch, len) == 0 && word[len] == '=') {
        row = &r;
        value = word + len + 1;
      }
      if (row != nullptr) break;
    }
    if (row == nullptr) {
      argv[kept++] = argv[i];
      continue;
    }
    // Digits only for a whole number; the decimal grammar for a real.
    const bool whole = row->whole();
    bool ok = whole ? *value != '\0' && std::strspn(value, "0123456789") == std::strlen(value)
                    : isDecimalReal(value);
    errno = 0;
    const double v = whole ? static_cast<double>(std::strtoll(value, nullptr, 10)) : std::strtod(value, nullptr);
    if (!ok || errno != 0 || (whole && v > INT_MAX)) refuseValue(*row, std::string("\"") + value + "\"");
    row->set(params, v);
    given.erase(std::remove_if(given.begin(), given.end(), [row](const auto& g) { return g.first == row; }),
                given.end());
    given.emplace_back(row, value);
  }
  for (const auto& g : given)
    if (!g.first->inRange(params)) refuseValue(*g.first, std::string("\"") + g.second + "\"");
  argc = kept;
  argv[argc] = nullptr;
}

void printHelp() {
  std::string text =
      "Usage: sc-vardo <SeqName> [<#FirstFrame> <#LastFrame>] [switches]\n"
      "       sc-vardo --help | -h | --version\n"
      "\n"
      "Finds the moving foreground in a sequence of numbered JPEG frames and writes,\n"
      "into the current folder, a mask bin%06d.png (255 foreground) for each frame of\n"
      "the temporal ROI and model snapshots Model%06d.ppm.\n"
      "\n"
      "<SeqName>       path prefix of the frames: .../highway/input/in for\n"
      "                .../highway/input/in000001.jpg; ROI.bmp and temporalROI.txt\n"
      "                are read from the folder above the frames\n"
      "<#FirstFrame>   first frame number (default 1)\n"
      "<#LastFrame>    last frame number (default: the end of the temporal ROI)\n"
      "Frame numbers come right after <SeqName>: give both when switches follow.\n"
      "\n"
      "Switches, each followed by its value:\n";
  text += helpLines(allSwitches());
  text +=
      "  --help, -h    this text\n"
      "  --version     the version\n"
      "\n";
  text += kExitStatusHelp;
  text += "128+N: ended by signal N; the file being written is removed first.\n";
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

std::string switchTableMarkdown() { return markdownTable(allSwitches()); }

bool runSetup(int argc, char** argv, RunSetup& setup, const std::function<void()>& beforeReport) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      printHelp();
      return false;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("sc-vardo %s (instruction set %s)\n", scvardo::version(), scvardo::instructionSet());
      std::fflush(stdout);
      return false;
    }
  }
  // The switch reader and the positional numbers must not see them.
  std::vector<char*> words(argv, argv + argc);
  words.push_back(nullptr);
  scvardo::Params& p = setup.params;
  p = toolDefaults();
  takeLongOptions(argc, words.data(), p);
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
  std::vector<const char*> positional{args[1]};
  if (argc > 3) {
    for (int i : {2, 3})
      if (!isWholeNumber(args[i]))
        failRun(kExitSwitch, stderr,
                "%s frame number \"%s\" is not a whole number: the frame numbers come right "
                "after <SeqName> when switches follow (see sc-vardo --help)\n",
                i == 2 ? "First" : "Last", args[i]);
    range.firstFrame = positionalNumber(args[2]);
    range.lastFrame = positionalNumber(args[3]);
    positional.insert(positional.end(), {args[2], args[3]});
  } else {
    range.firstFrame = 1;
    range.lastFrame = 1;
    // A lone number is ignored.
    if (argc == 3 && isWholeNumber(args[2])) positional.push_back(args[2]);
  }

  OutputChoices& o = setup.outputs;
  readSwitches(argc, args, p, o);
  for (int i = 1; i < argc; ++i) {
    if (std::find(positional.begin(), positional.end(), args[i]) != positional.end()) continue;
    if (args[i][0] == '-' && !isWholeNumber(args[i]))
      failRun(kExitSwitch, stderr, "unknown switch %s (see sc-vardo --help)\n", args[i]);
    failRun(kExitSwitch, stderr, "unexpected argument \"%s\" (see sc-vardo --help)\n", args[i]);
  }
  if (const scvardo::ParamSpec* bad = scvardo::firstOutOfRange(p))
    refuseValue(*bad, bad->format(bad->get(p)));
  range.K = p.K;

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

  const int minSide = minFrameSide(p);
  if (W < minSide || H < minSide)
    failRun(kExitInput, stdout,
            "Frame %s is %dx%d; the spatial coherence filter needs at least %dx%d\n",
            firstName.c_str(), W, H, minSide, minSide);

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
  out += reportBeforeRoi(s.params);
  add(std::snprintf(line, sizeof line, "ROI (0/1):              %d\n", o.useRoi));
  out += reportAfterRoi(s.params);
  add(std::snprintf(line, sizeof line, "Save all models (0/1):  %d\n", o.saveAllModels));
  add(std::snprintf(line, sizeof line, "Save all masks  (0/1):  %d\n",
                    clampToInt(1LL - o.lastMaskOnly)));
  return out;
}

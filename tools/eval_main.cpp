// sc-vardo-eval: counts and metrics of a mask directory against a sequence's
// ground truth over its temporal ROI, and optionally the overlay pictures.
// Exit status: 0 done, 1 a file cannot be read or written, 2 bad usage,
// 3 the figures were printed but the range counts no pixel at all, 4 not
// enough memory.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "core/failure.h"
#include "core/output_file.h"
#include "core/paths.h"
#include "metrics.h"
#include "overlay.h"
#include "scvardo/scvardo.hpp"

namespace {

const char* const kUsage =
    "usage: sc-vardo-eval MASKDIR SEQDIR [--first F --last L] [--json] [--per-frame FILE] "
    "[--overlay DIR [--frames F1,F2,... | --every N]]\n";

const char* const kHelp =
    "Usage: sc-vardo-eval MASKDIR SEQDIR [options]\n"
    "       sc-vardo-eval --help | -h | --version\n"
    "\n"
    "Counts the masks MASKDIR/bin%06d.png (255 foreground) against the ground truth\n"
    "SEQDIR/groundtruth/gt%06d.png (255 positive; 0 and 50 negative; 85, 170 and\n"
    "pixels outside SEQDIR/ROI.bmp not counted) and prints TP, FP, FN, TN, Recall,\n"
    "Specificity, FPR, FNR, PWC, Precision and F-measure.\n"
    "\n"
    "Options:\n"
    "  --first F            first frame counted (default: the first of\n"
    "                       SEQDIR/temporalROI.txt)\n"
    "  --last L             last frame counted (default: the last of\n"
    "                       SEQDIR/temporalROI.txt)\n"
    "  --json               the figures as one JSON object\n"
    "  --per-frame FILE     each frame's counts as CSV\n"
    "                       (frame,TP,FP,FN,TN,Recall,Precision,F-measure)\n"
    "  --overlay DIR        pictures DIR/overlay%06d.png (true positives green, false\n"
    "                       positives red, false negatives blue) and\n"
    "                       DIR/contact-sheet.png\n"
    "  --frames F1,F2,...   the frames pictured (with --overlay)\n"
    "  --every N            every Nth frame of the range is pictured (with --overlay;\n"
    "                       default 100)\n"
    "  --help, -h           this text\n"
    "  --version            the version\n"
    "\n"
    "Outputs are written whole or not at all, and never over an input or over\n"
    "each other (that is refused before anything is read, as a bad command line).\n"
    "\n"
    "Exit status: 0 done; 1 a file cannot be read or written; 2 a bad command line\n"
    "(unknown switch, missing or bad value, an output on an input); 3 the figures\n"
    "were printed but the range counts no pixel at all (every ratio undefined,\n"
    "printed as 0); 4 not enough memory. Ended by signal N: 128+N, the file being\n"
    "written removed first.\n";

struct Options {
  std::string maskDir, seqDir, overlayDir, perFrameFile;
  bool json = false;
  bool haveFirst = false, haveLast = false;
  int first = 0, last = 0;
  std::vector<int> frames;  // --frames
  int every = 0;            // --every; 0 = not given
};

// One line naming what is wrong; the short usage alone without arguments.
int usage(const std::string& why) {
  if (why.empty())
    std::fputs(kUsage, stderr);
  else
    std::fprintf(stderr, "sc-vardo-eval: %s (see sc-vardo-eval --help)\n", why.c_str());
  return 2;
}

int fail(const std::string& what) {
  std::fprintf(stderr, "sc-vardo-eval: %s\n", what.c_str());
  return 1;
}

// A whole number 0..INT_MAX with nothing left over: frame numbers have at
// least six digits, as sc-vardo writes them (bin1000000.png after
// bin999999.png).
bool parseNumber(const std::string& s, int& out) {
  if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 0 || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

bool parseList(const std::string& s, std::vector<int>& out) {
  std::size_t start = 0;
  while (true) {
    std::size_t comma = s.find(',', start);
    int v = 0;
    if (!parseNumber(s.substr(start, comma - start), v)) return false;
    out.push_back(v);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return true;
}

// Returns -1 when parsed, else the exit status to end with.
int parse(int argc, char** argv, Options& o) {
  std::vector<std::string> positional;
  bool haveFrames = false;
  if (argc == 1) return usage("");
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("sc-vardo-eval %s\n", scvardo::version());
      return 0;
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& v) {
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--json") {
      o.json = true;
    } else if (a == "--first" || a == "--last") {
      int* target = a == "--first" ? &o.first : &o.last;
      if (!value(v) || !parseNumber(v, *target))
        return usage(a + " needs a frame number");
      (a == "--first" ? o.haveFirst : o.haveLast) = true;
    } else if (a == "--overlay") {
      if (!value(v) || v.empty()) return usage("--overlay needs a directory");
      o.overlayDir = v;
    } else if (a == "--per-frame") {
      if (!value(v) || v.empty()) return usage("--per-frame needs a file name");
      o.perFrameFile = v;
    } else if (a == "--frames") {
      o.frames.clear();
      if (!value(v) || !parseList(v, o.frames))
        return usage("--frames needs frame numbers separated by commas, e.g. 500,800");
      haveFrames = true;
    } else if (a == "--every") {
      if (!value(v) || !parseNumber(v, o.every) || o.every == 0)
        return usage("--every needs a positive whole number");
    } else if (a.size() > 1 && a[0] == '-') {
      return usage("unknown switch " + a);
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2)
    return usage(positional.size() < 2 ? "MASKDIR and SEQDIR are required"
                                       : "unexpected argument " + positional[2]);
  o.maskDir = positional[0];
  o.seqDir = positional[1];
  if ((haveFrames || o.every) && o.overlayDir.empty())
    return usage("--frames and --every need --overlay DIR");
  if (haveFrames && o.every) return usage("--frames and --every exclude each other");
  if (o.haveFirst && o.haveLast && o.first > o.last)
    return usage("--first " + std::to_string(o.first) + " is after --last " +
                 std::to_string(o.last));
  return -1;
}

// sc-vardo's record of the last run in the folder: a run that did not
// finish may have left masks missing, or stale ones from an earlier run.
void warnIfUnfinished(const std::string& maskDir) {
  std::FILE* f = std::fopen((maskDir + "/sc-vardo-run.txt").c_str(), "r");
  if (f == nullptr) return;
  char line[1024];
  bool unfinished = false;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, "finished: no", 12) == 0) unfinished = true;
  std::fclose(f);
  if (unfinished)
    std::fprintf(stderr,
                 "sc-vardo-eval: warning: the run that wrote %s did not finish (see its "
                 "sc-vardo-run.txt): masks may be missing or stale\n",
                 maskDir.c_str());
}

// Whether `name` is prefix, digits, suffix: a numbered file of a sequence.
bool numberedName(const std::string& name, const char* prefix, const char* suffix) {
  const std::size_t p = std::strlen(prefix), q = std::strlen(suffix);
  if (name.size() <= p + q || name.compare(0, p, prefix) != 0 ||
      name.compare(name.size() - q, q, suffix) != 0)
    return false;
  return std::all_of(name.begin() + p, name.end() - q, [](unsigned char c) { return std::isdigit(c); });
}

// Before anything is read but the temporal ROI: no output may land on an
// input or on another output, and the overlay folder must be none of the
// input folders. The per-frame file is the one freely named output; the
// others are named by their folder, so only files named like them count.
std::string outputClash(const Options& o) {
  const std::string gtDir = metrics::gtPath(o.seqDir, 0), inDir = metrics::inputPath(o.seqDir, 0);
  const std::string groundTruth = gtDir.substr(0, gtDir.find_last_of('/'));
  const std::string frames = inDir.substr(0, inDir.find_last_of('/'));
  std::vector<NamedPath> inputs = {{"the ROI", metrics::roiPath(o.seqDir)},
                                   {"the temporal ROI", metrics::temporalRoiPath(o.seqDir)}};
  std::vector<NamedPath> files, folders;
  if (!o.perFrameFile.empty()) {
    files.push_back({"--per-frame", o.perFrameFile});
    const std::string name = o.perFrameFile.substr(o.perFrameFile.find_last_of('/') + 1);
    if (numberedName(name, "bin", ".png")) inputs.push_back({"a mask", o.maskDir + "/" + name});
    if (numberedName(name, "gt", ".png")) inputs.push_back({"a ground truth", groundTruth + "/" + name});
    if (numberedName(name, "in", ".jpg")) inputs.push_back({"an input frame", frames + "/" + name});
    if (!o.overlayDir.empty() && (name == "contact-sheet.png" || numberedName(name, "overlay", ".png")))
      files.push_back({"--overlay", o.overlayDir + "/" + name});
  }
  if (!o.overlayDir.empty()) {
    inputs.insert(inputs.end(), {{"the mask folder", o.maskDir}, {"the sequence folder", o.seqDir},
                                 {"the ground-truth folder", groundTruth}, {"the input-frame folder", frames}});
    folders.push_back({"--overlay", o.overlayDir});
  }
  return pathClash(inputs, files, folders);
}

// Scores the run; the outputs are made ready first, so that a folder that
// cannot take them fails before the work.
int evaluate(Options& o) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(o.maskDir, ec)) return fail("mask directory " + o.maskDir + " not found");
  if (!fs::is_directory(o.seqDir, ec))
    return fail("sequence directory " + o.seqDir + " not found");

  std::string error;
  if (!o.haveFirst || !o.haveLast) {
    int first = 0, last = 0;
    if (!metrics::readTemporalRoi(o.seqDir, first, last, error)) return fail(error);
    if (!o.haveFirst) o.first = first;
    if (!o.haveLast) o.last = last;
    if (o.first > o.last)
      return usage("frame range " + std::to_string(o.first) + ".." + std::to_string(o.last) +
                   " is empty");
  }
  std::vector<int> frames = o.frames;
  if (!o.overlayDir.empty()) {
    if (frames.empty()) frames = overlay::everyNth(o.first, o.last, o.every ? o.every : 100);
    for (int f : frames)
      if (f < o.first || f > o.last)
        return usage("--frames: frame " + std::to_string(f) + " is outside the evaluated range " +
                     std::to_string(o.first) + ".." + std::to_string(o.last));
  }
  const std::string clash = outputClash(o);
  if (!clash.empty()) return usage(clash);
  warnIfUnfinished(o.maskDir);

  PendingFile perFrameFile;
  if (!o.perFrameFile.empty()) {
    removeStaleTemporariesSaying(folderOf(o.perFrameFile), "sc-vardo-eval: ");
    const WriteOutcome ready = perFrameFile.create(o.perFrameFile);
    if (!ready) return fail("cannot create " + o.perFrameFile + ": " + ready.why);
  }
  if (!o.overlayDir.empty()) {
    fs::create_directories(o.overlayDir, ec);
    if (!fs::is_directory(o.overlayDir, ec))
      return fail("cannot create overlay directory " + o.overlayDir + (ec ? ": " + ec.message() : ""));
    removeStaleTemporariesSaying(o.overlayDir + "/", "sc-vardo-eval: ");
  }

  metrics::Counts counts;
  std::vector<metrics::FrameCounts> perFrame;
  if (!metrics::evaluateSequence(o.maskDir, o.seqDir, o.first, o.last, counts, error,
                                 o.perFrameFile.empty() ? nullptr : &perFrame))
    return fail(error);
  perFrameFile.discard();
  if (!o.perFrameFile.empty() &&
      !metrics::writeText(o.perFrameFile, metrics::formatPerFrameCsv(perFrame), error))
    return fail(error);
  if (!o.overlayDir.empty() && !overlay::writeOverlays(o.maskDir, o.seqDir, frames, o.overlayDir, error))
    return fail(error);

  const metrics::Metrics m = metrics::compute(counts);
  const std::string report =
      o.json ? metrics::formatJson(counts, m, o.first, o.last) : metrics::formatText(counts, m);
  if (std::fputs(report.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
    return fail("cannot write the report to standard output");
  // All zeros would pass for a result; a ground truth without any counted
  // pixel (all 85/170 or outside ROI.bmp) is more likely a wrong range.
  if (metrics::counted(counts) == 0) {
    std::fprintf(stderr,
                 "sc-vardo-eval: warning: frames %d..%d count no pixel (ground truth all 85 or "
                 "170, or outside ROI.bmp); every ratio is undefined and printed as 0\n",
                 o.first, o.last);
    return 3;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Our own messages name the files; keep OpenCV's decoder warnings off stderr.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  keepStandardStreamsApart();
  removeTemporariesOnSignals();
  try {
    Options o;
    if (int status = parse(argc, argv, o); status >= 0) return status;
    return evaluate(o);
  } catch (...) {
    const Failure f = failureOf(std::current_exception());
    std::fprintf(stderr, "sc-vardo-eval: %s\n", f.line.c_str());
    return f.status;
  }
}

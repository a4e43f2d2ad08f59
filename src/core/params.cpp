// The parameter table: every interface (switches, checks, report, model
// file, Python keywords, getters and setters, help texts) iterates it. A
// new parameter is a field in scvardo::Params, a row here, and its use in
// the method.
#include "core/params.h"

#include <cmath>
#include <cstdio>
#include <cstdarg>
#include <cstring>
#include <iterator>

bool isSupportedBlockSize(int n) { return n == 3 || n == 5 || n == 7 || n == 9; }

bool medianWidthUsable(int width) {
  if (width == 0 || width == 1) return true;
  return width >= 3 && width % 2 == 1 && width <= 255;
}

int minFrameSide(int window) { return window == 5 ? 4 : 2; }

namespace scvardo {
namespace {

using Type = ParamSpec::Type;
using Change = ParamSpec::Change;
using Report = ParamSpec::Report;

bool anyValue(double, const Params&) { return true; }

static_assert(kMaxThreads == 256, "the range text of threads names the limit");

// Ordered as sc-vardo looks its switches up; Python's positional arguments
// follow the same order.
constexpr ParamSpec kRows[] = {
    {"n", "BlockSize", "-n", Type::Int, &Params::n, nullptr, "3, 5, 7 or 9",
     [](double v, const Params&) { return isSupportedBlockSize(static_cast<int>(v)); },
     "side of the block of weight vectors per pixel", Change::Never, nullptr, Report::Defined, "n",
     1},
    {"K", "CalibrationFrames", "-K", Type::Int, &Params::K, nullptr, "0 or more",
     [](double v, const Params&) { return v >= 0; },
     "calibration frames, counting the first: they only train the model (0: none)",
     Change::Never, nullptr, Report::None, nullptr, 1},
    {"e1", "CalibrationThreshold", "-e1", Type::Real, nullptr, &Params::e1, "greater than 0",
     [](double v, const Params&) { return v > 0; },
     "distance threshold while calibrating (squared distance in the HSV cone)", Change::NextFrame,
     nullptr, Report::Defined, "e1", 1},
    {"e2", "OnlineThreshold", "-e2", Type::Real, nullptr, &Params::e2, "greater than 0",
     [](double v, const Params&) { return v > 0; },
     "distance threshold while detecting: lower finds fainter objects, and more noise",
     Change::NextFrame, nullptr, Report::Defined, "e2", 1},
    {"c1", "CalibrationRate", "-c1", Type::Real, nullptr, &Params::c1, "in (0, 1]",
     [](double v, const Params&) { return v > 0 && v <= 1; },
     "learning-rate constant at the start of calibration", Change::NextFrame, nullptr,
     Report::Defined, "c1", 1},
    {"c2", "OnlineRate", "-c2", Type::Real, nullptr, &Params::c2, "in (0, 1]",
     [](double v, const Params&) { return v > 0 && v <= 1; },
     "learning-rate constant at the end of calibration and while detecting", Change::NextFrame,
     nullptr, Report::Defined, "c2", 1},
    {"Cw", "CoherenceWindow", "-Cw", Type::Int, &Params::Cw, nullptr, "a whole number", anyValue,
     "spatial coherence vote: 5 selects the 5x5 window, any other value 3x3", Change::NextFrame,
     nullptr, Report::Defined, "Cw", 1},
    {"gamma", "ShadowGamma", "-g", Type::Real, nullptr, &Params::gamma,
     "greater than 0 and at most beta (-b)",
     [](double v, const Params& p) { return v > 0 && v <= p.beta; },
     "shadow test: lowest ratio of a shadow's value (brightness) to the background's",
     Change::NextFrame, "shadowRemoval", Report::Defined, "gamma", 1},
    {"beta", "ShadowBeta", "-b", Type::Real, nullptr, &Params::beta, "at least gamma (-g)",
     [](double v, const Params& p) { return v >= p.gamma; },
     "shadow test: highest ratio of a shadow's value to the background's", Change::NextFrame,
     "shadowRemoval", Report::Defined, "beta", 1},
    {"tau_S", "ShadowSaturationTolerance", "-tS", Type::Real, nullptr, &Params::tau_S, "0 or more",
     [](double v, const Params&) { return v >= 0; },
     "shadow test: largest saturation difference from the background", Change::NextFrame,
     "shadowRemoval", Report::Defined, "Th_S", 1},
    {"tau_H", "ShadowHueTolerance", "-tH", Type::Real, nullptr, &Params::tau_H, "in [0, 180]",
     [](double v, const Params&) { return v >= 0 && v <= 180; },
     "shadow test: largest hue difference from the background, in degrees", Change::NextFrame,
     "shadowRemoval", Report::Defined, "Th_H", 1},
    {"shadowRemoval", "ShadowRemoval", "-s", Type::Int, &Params::shadowRemoval, nullptr,
     "a whole number", anyValue,
     "nonzero: darker versions of the background are shadow, not foreground", Change::NextFrame,
     nullptr, Report::Defined, "Shadow removal", 1},
    {"medianWidth", "MedianWidth", "-Med", Type::Int, &Params::medianWidth, nullptr,
     "0 (off) or odd, at most 255",
     [](double v, const Params&) { return medianWidthUsable(static_cast<int>(v)); },
     "median filter width for the masks, 0 for none", Change::NextFrame, nullptr,
     Report::Defined, "width", 1},
    {"threads", "Threads", "--threads", Type::Int, &Params::threads, nullptr,
     "0 (one per CPU this process may use) to 256",
     [](double v, const Params&) { return v >= 0 && v <= kMaxThreads; },
     "worker threads for the passes; the results do not depend on it", Change::AnyTime, nullptr,
     Report::None, nullptr, 0},
    {"adaptive", "Adaptive", "--adaptive", Type::Flag, &Params::adaptive, nullptr, "0 or 1",
     [](double v, const Params&) { return v == 0 || v == 1; },
     "per-pixel detection thresholds that follow the background (e2 seeds them), and "
     "absorption of foreground that stays still",
     Change::Never, nullptr, Report::Own, "Adaptive (0/1)", 3},
    {"absorbSpan", "AbsorbSpan", "--absorb-span", Type::Int, &Params::absorbSpan, nullptr,
     "1 to 1000000", [](double v, const Params&) { return v >= 1 && v <= 1000000; },
     "frames within which foreground that stays still fades into the background",
     Change::NextFrame, "adaptive", Report::Own, "Absorb span", 3},
    {"thresholdLow", "ThresholdLow", "--threshold-low", Type::Real, nullptr, &Params::thresholdLow,
     "greater than 0 and at most thresholdHigh (--threshold-high)",
     [](double v, const Params& p) { return v > 0 && v <= p.thresholdHigh; },
     "lowest per-pixel detection threshold", Change::NextFrame, "adaptive", Report::Own,
     "Threshold low", 3},
    {"thresholdHigh", "ThresholdHigh", "--threshold-high", Type::Real, nullptr,
     &Params::thresholdHigh, "at least thresholdLow (--threshold-low)",
     [](double v, const Params& p) { return v >= p.thresholdLow; },
     "highest per-pixel detection threshold", Change::NextFrame, "adaptive", Report::Own,
     "Threshold high", 3},
    {"distanceGain", "DistanceGain", "--distance-gain", Type::Real, nullptr, &Params::distanceGain,
     "0 or more", [](double v, const Params&) { return v >= 0; },
     "a pixel's threshold stays above this times the running mean of its distance to the "
     "model while background",
     Change::NextFrame, "adaptive", Report::Own, "Distance gain", 3},
    {"flickerTrain", "FlickerTrain", "--flicker-train", Type::Real, nullptr, &Params::flickerTrain,
     "in [0, 1]", [](double v, const Params&) { return v >= 0 && v <= 1; },
     "foreground the coherence vote clears is trained where the pixel's rate of spurious "
     "foreground is above this and no foreground is next to it",
     Change::NextFrame, "adaptive", Report::Own, "Flicker train", 3},
};

}  // namespace

bool ParamSpec::inRange(const Params& p) const {
  const double v = get(p);
  return std::isfinite(v) && inRangeOf(v, p);
}

std::string ParamSpec::format(double value) const {
  char text[40];
  if (whole())
    std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
  else if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15)
    std::snprintf(text, sizeof text, "%.1f", value);  // 1.0, not 1: a real
  else
    std::snprintf(text, sizeof text, "%g", value);
  return text;
}

ParamTable paramTable() { return ParamTable{kRows, sizeof kRows / sizeof kRows[0]}; }

const ParamSpec* findParam(const std::string& name) {
  for (const ParamSpec& row : kRows)
    if (name == row.name) return &row;
  return nullptr;
}

const ParamSpec* firstOutOfRange(const Params& p) {
  for (const ParamSpec& row : kRows)
    if (!row.inRange(p)) return &row;
  return nullptr;
}

}  // namespace scvardo

int minFrameSide(const scvardo::Params& p) { return minFrameSide(p.Cw); }

std::string paramsProblem(const scvardo::Params& p) {
  const scvardo::ParamSpec* row = scvardo::firstOutOfRange(p);
  if (row == nullptr) return "";
  const double v = row->get(p);
  if (!std::isfinite(v)) return std::string("invalid ") + row->name + ": not a finite number";
  return std::string("invalid ") + row->name + " " + row->format(v) + ": it must be " + row->range;
}

namespace {

std::string printed(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  const int len = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return std::string(line, len < 0 ? 0 : static_cast<std::size_t>(len));
}

double d(float v) { return static_cast<double>(v); }

// Whether a row's switch is on (always, without one).
bool switchedOn(const scvardo::ParamSpec& row, const scvardo::Params& p) {
  if (row.onlyWith == nullptr) return true;
  const scvardo::ParamSpec* flag = scvardo::findParam(row.onlyWith);
  return flag == nullptr || flag->get(p) != 0;
}

}  // namespace

std::string reportBeforeRoi(const scvardo::Params& p) {
  std::string out;
  out += printed("Neighborhood size:      n=%d (%d weight vectors per pixel)\n", p.n, p.n * p.n);
  out += printed("Distance thresholds:    e1=%.4f (calibration), e2=%.4f (online)\n", d(p.e1), d(p.e2));
  out += printed("Learning rates:         c1=%.4f (calibration), c2=%.4f (online)\n", d(p.c1), d(p.c2));
  // The flag as given, not reduced to 0 or 1.
  out += printed("Shadow removal  (0/1):  %d", p.shadowRemoval);
  if (p.shadowRemoval != 0)
    out += printed(" (gamma = %.4f, beta = %.4f, Th_S = %.4f, Th_H = %.4f)\n", d(p.gamma),
                   d(p.beta), d(p.tau_S), d(p.tau_H));
  else
    out += "\n";
  out += printed("Spatial Coherence:      Cw = %d\n", p.Cw);
  return out;
}

std::string reportAfterRoi(const scvardo::Params& p) {
  std::string out = "Median postproc. (0/1): ";
  if (p.medianWidth != 0)
    out += printed("1 (width = %d)\n", p.medianWidth);
  else
    out += "0\n";
  for (const scvardo::ParamSpec& row : scvardo::paramTable()) {
    if (row.report != scvardo::ParamSpec::Report::Own || !switchedOn(row, p)) continue;
    if (row.type == scvardo::ParamSpec::Type::Flag && row.get(p) == 0) continue;
    const std::string label = std::string(row.reportLabel) + ":";
    const double v = row.get(p);
    out += printed("%-23s %s\n", label.c_str(),
                   row.whole() ? printed("%d", static_cast<int>(v)).c_str()
                                                             : printed("%.4f", v).c_str());
  }
  return out;
}

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

}  // namespace

std::vector<const char*> usagePieces() {
  return std::vector<const char*>(std::begin(kUsagePieces), std::end(kUsagePieces));
}

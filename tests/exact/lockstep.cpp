#include "lockstep.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "adapt/adapt.h"
#include "colour/colour.h"
#include "core/workers.h"
#include "mask/mask.h"
#include "model/model.h"
#include "schedule/schedule.h"

namespace {

struct Side {
  FloatPlanes model, next;  // next: the reference's second model
  LabelMask labels, spare;
  std::vector<int> matchRow, matchCol;  // not kept by the banded schedule
  bool positions = true;
  std::unique_ptr<WorkerPool> pool;
  fast::Workspace ws;
  AdaptiveState adapt;
  Side(const Geometry& g, int threads)
      : model(3, g.cells()),
        next(3, threads == 0 ? g.cells() : 0),
        labels(g.pixels(), 0),
        spare(g.pixels(), 0),
        matchRow(g.pixels(), 0),
        matchCol(g.pixels(), 0),
        pool(threads > 0 ? std::make_unique<WorkerPool>(threads) : nullptr),
        adapt(g.pixels()) {
    ws.fit(g, threads);
  }
};

// "" or the first difference of `fast` from `ref`.
std::string difference(Side& ref, Side& fast, const Geometry& g) {
  for (std::size_t p = 0; p < g.pixels(); ++p)
    if (ref.labels[p] != fast.labels[p] ||
        (fast.positions &&
         (ref.matchRow[p] != fast.matchRow[p] || ref.matchCol[p] != fast.matchCol[p])))
      return "pixel " + std::to_string(p) + ": label " + std::to_string(ref.labels[p]) + " vs " +
             std::to_string(fast.labels[p]) + ", winner " + std::to_string(ref.matchRow[p]) + "," +
             std::to_string(ref.matchCol[p]) + " vs " + std::to_string(fast.matchRow[p]) + "," +
             std::to_string(fast.matchCol[p]);
  for (int k = 0; k < 3; ++k)
    if (std::memcmp(ref.model[k], fast.model[k], g.cells() * sizeof(float)) != 0)
      return "model plane " + std::to_string(k);
  const std::vector<AdaptiveState::Array> as = ref.adapt.arrays(), bs = fast.adapt.arrays();
  for (std::size_t i = 0; i < as.size(); ++i) {
    const std::size_t size = as[i].kind == AdaptiveState::Kind::Byte ? 1 : 4;
    if (std::memcmp(as[i].data, bs[i].data, g.pixels() * size) != 0) return as[i].name;
  }
  return "";
}

std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

std::vector<BgrFrame> syntheticFrames(int W, int H, int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(20, 235), noise(-4, 4);
  std::vector<std::uint8_t> base(static_cast<std::size_t>(W) * H * 3);
  for (std::uint8_t& b : base) b = static_cast<std::uint8_t>(byte(rng));
  std::vector<BgrFrame> out;
  for (int t = 0; t < count; ++t) {
    BgrFrame f{W, H, base};
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < W; ++c) {
        std::uint8_t* px = f.bytes.data() + (static_cast<std::size_t>(r) * W + c) * 3;
        for (int k = 0; k < 3; ++k) px[k] = clampByte(px[k] + noise(rng));
        if (t > 1 && r >= H / 3 && r < H / 3 + 2 && c >= W / 2 && c < W / 2 + 3) {  // set down, stays
          px[0] = 30;
          px[1] = 200;
          px[2] = 120;
        } else if (t > 2 && r / 2 == (t % H) / 2 && c / 2 == (t % W) / 2) {
          px[0] = 250;
          px[1] = 10;
          px[2] = static_cast<std::uint8_t>(40 * t);
        } else if (t > 2 && (r + t) % H < 2 && (c + 2 * t) % W < 3) {
          for (int k = 0; k < 3; ++k) px[k] = static_cast<std::uint8_t>(px[k] * 0.8);
        }
      }
    out.push_back(std::move(f));
  }
  return out;
}

RoiMask roiWithHoles(int W, int H, int holes, unsigned seed) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(W) * H, 255);
  if (holes == 0) return RoiMask::fromBytes(W, H, bytes);
  std::mt19937 rng(seed);
  for (auto& b : bytes) b = rng() % 4 == 0 ? 0 : 255;
  if (holes == 2) std::fill(bytes.begin(), bytes.begin() + W, 0);
  return RoiMask::fromBytes(W, H, bytes);
}

std::string lockstep(const std::vector<BgrFrame>& frames, const RoiMask& roi,
                     const scvardo::Params& p, int K) {
  const Geometry g{frames[0].W, frames[0].H, p.n};
  std::vector<Side> sides;
  for (int t = 0; t <= 4; ++t) sides.emplace_back(g, t);  // 0: the reference
  FloatPlanes frame(3, g.pixels());
  WeightKernel kernel(p.n);
  buildWeightKernel(p.n, kernelSpread(p.n), kernel);
  const BaseRates rates = baseRates(p.c1, p.c2, p.n);
  AlphaTable alpha(p.n), absorbAlpha(p.n);
  buildAlphaTable(p.n, std::max(absorptionRate(p.absorbSpan), p.c2) / static_cast<float>(p.n + 1), kernel,
                  absorbAlpha);
  const bool adaptive = p.adaptive != 0;
  for (std::size_t f = 0; f < frames.size(); ++f) {
    convertFrame(frames[f].bytes.data(), g.W, g.H, static_cast<std::size_t>(g.W) * 3, false, frame,
                 roi);
    const bool calibrating = static_cast<int>(f) < K;
    if (f > 0)
      buildAlphaTable(p.n, calibrating ? calibrationRate(int(f), K, rates) : onlineRate(rates),
                      kernel, alpha);
    for (Side& s : sides) {
      // Open every block again once the model is no longer uniform, as a
      // restored model with all-zero labels would be: windows of later
      // pixels then meet blocks whose pixels have not been visited yet.
      if (f == 3) std::fill(s.labels.begin(), s.labels.end(), 0);
      const bool ref = !s.pool;
      PassContext ctx{g, p, roi, s.pool.get()};
      FloatPlanes& out = ref ? s.next : s.model;
      AdaptiveState* a = adaptive ? &s.adapt : nullptr;
      if (f == 0) {
        initModel(s.model, frame, g.H, g.W, g.n, roi);
        if (ref) copyPlanes(s.model, g.cells(), s.next);
        if (a) adaptInitialise(ctx, frame, *a);
        continue;
      }
      if (calibrating) {
        if (a) ctx.adapt = a->forCalibration();
        if (ref)
          calibrationPass(ctx, frame, s.model, s.labels, alpha, out);
        else
          fast::calibrationPass(ctx, s.ws, frame, s.model, s.labels, alpha, out);
        if (a && ref)
          adaptCalibrate(ctx, frame, *a);
        else if (a)
          fast::adaptCalibrate(ctx, frame, *a);
      } else if (!ref && s.pool->size() % 2 == 1) {  // the banded schedule of the engine
        if (a) ctx.adapt = a->forOnline(absorbAlpha.cells.data());
        fast::onlineStep(ctx, s.ws, frame, s.model, s.labels, s.spare, alpha, a);
        std::swap(s.labels, s.spare);
        s.positions = false;
      } else {  // the separate passes
        if (a) ctx.adapt = a->forDetection();
        if (ref)
          detectionPass(ctx, frame, s.model, s.labels, s.matchRow, s.matchCol);
        else
          fast::detectionPass(ctx, s.ws, frame, s.model, s.labels, s.matchRow, s.matchCol);
        coherenceFilter(ctx, s.labels, s.spare);
        std::swap(s.labels, s.spare);
        if (a) {
          adaptDetect(ctx, frame, s.labels, *a);
          ctx.adapt = a->forUpdate(absorbAlpha.cells.data());
        }
        if (ref)
          updatePass(ctx, frame, s.model, s.labels, alpha, s.matchRow, s.matchCol, out);
        else
          fast::updatePass(ctx, s.ws, frame, s.model, s.labels, alpha, s.matchRow, s.matchCol, out);
      }
      if (ref) copyPlanes(s.next, g.cells(), s.model);
    }
    for (int t = 1; t <= 4; ++t) {
      const std::string d = difference(sides[0], sides[t], g);
      if (!d.empty())
        return "frame " + std::to_string(f) + ", " + std::to_string(t) + " threads: " + d;
    }
  }
  return "";
}

std::string syntheticCases(Isa isa) {
  forceIsa(isa);
  // 6x29 is tall enough for the banded schedule's seams; 37x9 wide enough
  // for whole vectors of every path, and a remainder.
  const struct { int W, H; } sizes[] = {{7, 5}, {4, 4}, {13, 11}, {6, 29}, {37, 9}};
  std::string failures;
  unsigned seed = 1;
  int index = 0;
  // Each (size, n, ROI) once in the defined mode and once adaptive; the
  // coherence window and the shadow test take turns between them, so that
  // every pairing comes up over the table.
  for (const auto& size : sizes)
    for (int n : {3, 5, 7, 9})
      for (int holes : {0, 1, 2}) {
        ++index;
        for (int adaptive : {0, 1}) {
          const int turn = index + adaptive;
          scvardo::Params p;
          p.n = n;
          p.Cw = turn % 2 == 0 ? 3 : 5;
          p.shadowRemoval = (turn / 2) % 2;
          p.e1 = 0.02f;  // tight enough that some calibration pixels do not match
          p.adaptive = adaptive;
          p.absorbSpan = 2;       // the parcel is absorbed within the frames
          p.flickerTrain = 0.05f;  // and the noise trains restless pixels
          const RoiMask roi = roiWithHoles(size.W, size.H, holes, ++seed);
          const std::string d = lockstep(syntheticFrames(size.W, size.H, 9, seed), roi, p, 4);
          if (!d.empty())
            failures += std::string(isaName(isa)) + " " + std::to_string(size.W) + "x" +
                        std::to_string(size.H) + " n=" + std::to_string(n) + " Cw=" +
                        std::to_string(p.Cw) + " s=" + std::to_string(p.shadowRemoval) + " holes=" +
                        std::to_string(holes) + " adaptive=" + std::to_string(adaptive) + ": " + d + "\n";
        }
      }
  return failures;
}

std::string conversionCases(const std::vector<Isa>& isas, int step) {
  constexpr std::uint32_t kColours = 1u << 24;
  // Chunks of 2^20 pixels, give or take, or one of the sample's size.
  constexpr int W = 4099;
  const int H = static_cast<int>(std::min<std::uint64_t>(256, (kColours / step + W - 1) / W));
  const std::size_t kPixels = static_cast<std::size_t>(W) * H;
  RoiMask roi = RoiMask::all(W, H);
  for (std::size_t p = 0; p < kPixels; ++p) roi.bytes[p] = p % 7 == 3 ? 0 : 1;
  std::vector<std::uint8_t> bgr(3 * kPixels);
  // Planes start as quiet NaNs with a payload, so a written value shows.
  auto fresh = [kPixels] {
    FloatPlanes planes(3, kPixels);
    const std::uint32_t marker = 0x7FC0BEEFu;
    for (int k = 0; k < 3; ++k)
      for (std::size_t p = 0; p < kPixels; ++p) std::memcpy(planes[k] + p, &marker, 4);
    return planes;
  };
  std::string failures;
  std::vector<bool> failed(isas.size(), false);
  for (std::uint64_t first = 0; first < kColours; first += kPixels * static_cast<std::uint64_t>(step)) {
    for (std::size_t p = 0; p < kPixels; ++p) {
      const std::uint64_t colour = std::min<std::uint64_t>(first + p * step, kColours - 1);
      bgr[3 * p] = static_cast<std::uint8_t>(colour);
      bgr[3 * p + 1] = static_cast<std::uint8_t>(colour >> 8);
      bgr[3 * p + 2] = static_cast<std::uint8_t>(colour >> 16);
    }
    FloatPlanes ref = fresh();
    convertFrame(bgr.data(), W, H, 3 * W, false, ref, roi);
    for (std::size_t i = 0; i < isas.size(); ++i) {
      if (failed[i]) continue;
      FloatPlanes got = fresh();
      for (int r = 0; r < H; ++r) {
        const std::size_t k = static_cast<std::size_t>(r) * W;
        ConvertRow row;
        row.bgr = bgr.data() + 3 * k;
        row.roi = roi.bytes.data() + k;
        row.count = W;
        row.x = got[0] + k;
        row.y = got[1] + k;
        row.v = got[2] + k;
        kernelsFor(isas[i]).convertRow(row);
      }
      for (std::size_t p = 0; p < kPixels && !failed[i]; ++p)
        for (int k = 0; k < 3; ++k)
          if (std::memcmp(ref[k] + p, got[k] + p, 4) != 0) {
            char line[160];
            std::snprintf(line, sizeof line, "%s: colour BGR %u,%u,%u (ROI %d) plane %d: %a vs %a\n",
                          isaName(isas[i]), bgr[3 * p], bgr[3 * p + 1], bgr[3 * p + 2],
                          roi.bytes[p], k, static_cast<double>(ref[k][p]), static_cast<double>(got[k][p]));
            failures += line;
            failed[i] = true;
            break;
          }
    }
  }
  return failures;
}

// Colour conversion: 8-bit RGB to HSV to cone coordinates and back.
//
// Precision: every named quantity below that is stored is a
// float; each expression is evaluated in double (the single-precision
// constants of colour.h widened to double) and rounded once, when stored.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <vector>

#include "colour/colour.h"
#include "core/workers.h"

void rgbToHsv(std::uint8_t R8, std::uint8_t G8, std::uint8_t B8, float& H, float& S, float& V) {
  const float r = static_cast<float>(R8 * static_cast<double>(kInv255));
  const float g = static_cast<float>(G8 * static_cast<double>(kInv255));
  const float b = static_cast<float>(B8 * static_cast<double>(kInv255));
  const float M = std::max(r, std::max(g, b));
  const float m = std::min(r, std::min(g, b));
  const float delta = static_cast<float>(static_cast<double>(M) - m);
  V = M;
  if (M == 0.0f) {
    H = 0.0f;
    S = 0.0f;
    return;
  }
  S = static_cast<float>(static_cast<double>(delta) / M);
  if (S == 0.0f) {
    H = 0.0f;
    return;
  }
  // The sector quotient h stays in double inside the expression for H.
  double h;
  if (r == M)
    h = (static_cast<double>(g) - b) / delta;
  else if (g == M)
    h = (static_cast<double>(b) - r) / delta + 2.0;
  else
    h = (static_cast<double>(r) - g) / delta + 4.0;
  H = static_cast<float>(60.0 * h);
  if (H < 0.0f) H = static_cast<float>(static_cast<double>(H) + 360.0);
}

ConeColor hsvToCone(float H, float S, float V) {
  const double a = H * static_cast<double>(kDegToRad);
  ConeColor c;
  c.x = static_cast<float>(std::cos(a) * S * V);
  c.y = static_cast<float>(std::sin(a) * S * V);
  c.v = V;
  return c;
}

void coneToHsv(const ConeColor& c, float& H, float& S, float& V) {
  // The angle is held in double throughout; only H is rounded to float.
  double a = std::atan2(static_cast<double>(c.y), static_cast<double>(c.x));
  if (a < 0.0) a += static_cast<double>(kTwoPi);
  const double ca = std::cos(a);
  if (std::fabs(ca) > 1e-6)
    S = static_cast<float>(c.x / (ca * c.v));
  else
    S = static_cast<float>(c.y / (std::sin(a) * c.v));
  H = static_cast<float>(a / static_cast<double>(kDegToRad));
  V = c.v;
}

void hsvToRgb(float H, float S, float V, float& R, float& G, float& B) {
  if (S == 0.0f) {
    R = G = B = V;
    return;
  }
  if (H >= 360.0f) H = static_cast<float>(static_cast<double>(H) - 360.0);
  const float h = static_cast<float>(H * static_cast<double>(kInv60));
  // The one float hue 359.999969 gives h == 6.0f (i = 6, f = 0), a case the
  // sector table leaves open: it is taken as sector 0, which with f = 0 is
  // hue 0's colour (V, p, p), the colour hue 360 gets. A NaN hue (never
  // produced by coneToHsv) takes the last sector.
  const int i = std::isfinite(h) ? static_cast<int>(std::floor(h)) : 5;
  const float f = static_cast<float>(static_cast<double>(h) - i);
  const float p = static_cast<float>(V * (1.0 - S));
  const float q = static_cast<float>(V * (1.0 - static_cast<double>(S) * f));
  const float t = static_cast<float>(V * (1.0 - S * (1.0 - f)));
  switch (i) {
    case 0:
    case 6: R = V; G = t; B = p; break;
    case 1: R = q; G = V; B = p; break;
    case 2: R = p; G = V; B = t; break;
    case 3: R = p; G = q; B = V; break;
    case 4: R = t; G = p; B = V; break;
    default: R = V; G = p; B = q; break;  // 5
  }
}

std::uint8_t toByte(float x) {
  if (std::isnan(x)) return 0;
  if (x < 0.0f) return 0;
  if (x > 255.0f) return 255;
  return static_cast<std::uint8_t>(static_cast<int>(x + 0.5));
}

namespace {

constexpr int kMemoBits = 16;

std::uint32_t keyOf(std::uint8_t R8, std::uint8_t G8, std::uint8_t B8) {
  return static_cast<std::uint32_t>(R8) << 16 | static_cast<std::uint32_t>(G8) << 8 | B8;
}
std::size_t slotOf(std::uint32_t key) { return (key * 2654435761u) >> (32 - kMemoBits); }

ConeColor convertRgb(std::uint8_t R8, std::uint8_t G8, std::uint8_t B8) {
  float Hh, S, V;
  rgbToHsv(R8, G8, B8, Hh, S, V);
  return hsvToCone(Hh, S, V);
}

// Pixels ahead whose memo slot is fetched.
constexpr int kAhead = 8;

}  // namespace

ConeMemo::ConeMemo() : slots_(std::size_t{1} << kMemoBits) {}

void ConeMemo::prefetch(std::uint8_t R8, std::uint8_t G8, std::uint8_t B8) const {
  __builtin_prefetch(&slots_[slotOf(keyOf(R8, G8, B8))]);
}

ConeColor ConeMemo::get(std::uint8_t R8, std::uint8_t G8, std::uint8_t B8) {
  const std::uint32_t key = keyOf(R8, G8, B8);
  Slot& s = slots_[slotOf(key)];
  if (s.key != key) {
    s.colour = convertRgb(R8, G8, B8);
    s.key = key;
  }
  return s.colour;
}

bool convertFrame(const std::uint8_t* rows, int W, int H, std::size_t stride, bool bottomUp,
                  FloatPlanes& frame, const RoiMask& roi, WorkerPool* pool,
                  std::vector<ConeMemo>* memos) {
  if (W != roi.W || H != roi.H) return false;
  assert(rows != nullptr || W == 0 || H == 0);
  assert(frame.count() >= 3 && frame.size() >= static_cast<std::size_t>(W) * H);
  assert(roi.bytes.size() >= static_cast<std::size_t>(W) * H);
  float* px = frame[0];
  float* py = frame[1];
  float* pv = frame[2];
  forRowBands(pool, 0, H, [&](int rBegin, int rEnd, int worker) {
    assert(memos == nullptr || static_cast<std::size_t>(worker) < memos->size());
    ConeMemo* memo = memos != nullptr ? &(*memos)[static_cast<std::size_t>(worker)] : nullptr;
    for (int r = rBegin; r < rEnd; ++r) {
      const int src = bottomUp ? H - 1 - r : r;
      const std::uint8_t* row = rows + static_cast<std::size_t>(src) * stride;
      for (int c = 0; c < W; ++c) {
        const std::size_t k = static_cast<std::size_t>(r) * W + c;
        if (roi.bytes[k] == 0) continue;
        const std::uint8_t* s = row + 3 * static_cast<std::size_t>(c);
        ConeColor cc;
        if (memo != nullptr) {
          if (c + kAhead < W) memo->prefetch(s[3 * kAhead + 2], s[3 * kAhead + 1], s[3 * kAhead]);
          cc = memo->get(s[2], s[1], s[0]);  // stored blue, green, red
        } else {
          cc = convertRgb(s[2], s[1], s[0]);
        }
        px[k] = cc.x;
        py[k] = cc.y;
        pv[k] = cc.v;
      }
    }
  });
  return true;
}

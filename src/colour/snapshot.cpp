// Model snapshot: every model cell rendered as one RGB pixel, and
// the picture written as a binary PPM file.
#include <sys/stat.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "colour/colour.h"

namespace {

// One line on stderr naming the file; then the partial file is removed when
// it is a regular file (never a device or anything else the path named).
void abandonPartialFile(const std::string& path, int err, bool regularFile) {
  std::fprintf(stderr, "Cannot write snapshot file %s: %s\n", path.c_str(), std::strerror(err));
  if (regularFile) std::remove(path.c_str());
}

}  // namespace

void renderSnapshot(const FloatPlanes& model, std::size_t count, BytePlanes& image) {
  assert(model.size() >= count && image.size() >= count);
  const float* x = model[0];
  const float* y = model[1];
  const float* v = model[2];
  std::uint8_t* red = image[0];
  std::uint8_t* green = image[1];
  std::uint8_t* blue = image[2];
  for (std::size_t k = 0; k < count; ++k) {
    float H, S, V;
    coneToHsv(ConeColor{x[k], y[k], v[k]}, H, S, V);
    float R, G, B;
    hsvToRgb(H, S, V, R, G, B);
    // Each product is a float before the rounding.
    const float r255 = R * 255.0f;
    const float g255 = G * 255.0f;
    const float b255 = B * 255.0f;
    red[k] = toByte(r255);
    green[k] = toByte(g255);
    blue[k] = toByte(b255);
  }
}

int writePpm(int rows, int cols, const BytePlanes& image, const std::string& path) {
  assert(rows >= 0 && cols >= 0);
  assert(image.size() >= static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::printf("Errore apertura file %s\n", path.c_str());
    return 0;
  }
  struct stat st;
  const bool regularFile = ::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode);

  bool ok = std::fprintf(f, "P6\n%d %d\n%d\n", cols, rows, 255) > 0;
  const std::uint8_t* red = image[0];
  const std::uint8_t* green = image[1];
  const std::uint8_t* blue = image[2];
  std::vector<std::uint8_t> line(static_cast<std::size_t>(cols) * 3);
  for (int r = 0; ok && r < rows; ++r) {
    const std::size_t base = static_cast<std::size_t>(r) * static_cast<std::size_t>(cols);
    for (int c = 0; c < cols; ++c) {
      line[3 * static_cast<std::size_t>(c) + 0] = red[base + c];
      line[3 * static_cast<std::size_t>(c) + 1] = green[base + c];
      line[3 * static_cast<std::size_t>(c) + 2] = blue[base + c];
    }
    ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  }
  if (ok) ok = std::fflush(f) == 0;
  int err = ok ? 0 : (errno != 0 ? errno : EIO);
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    abandonPartialFile(path, err, regularFile);
    return 0;
  }
  return 1;
}

std::string snapshotFileName(int frameNumber) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Model%.6d.ppm", frameNumber);
  return buf;
}

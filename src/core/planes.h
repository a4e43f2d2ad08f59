// Plane sets: three parallel planes of equal length, one per colour component.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

// Planes start on a cache line: the passes' whole-vector loads and stores
// then never straddle two lines (on AVX-512 every one would).
template <typename T>
struct LineAligned {
  using value_type = T;
  static constexpr std::align_val_t kAlign{64};
  LineAligned() = default;
  template <typename U>
  LineAligned(const LineAligned<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
  void deallocate(T* p, std::size_t) { ::operator delete(p, kAlign); }
  template <typename U>
  bool operator==(const LineAligned<U>&) const { return true; }
  template <typename U>
  bool operator!=(const LineAligned<U>&) const { return false; }
};

template <typename T>
class PlaneSet {
 public:
  // Each plane made in place: no zero-filled pattern plane beside them at
  // the peak.
  PlaneSet(int count, std::size_t len) : len_(len) {
    planes_.reserve(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) planes_.emplace_back(len, T(0));
  }

  T* operator[](int k) { return planes_[static_cast<std::size_t>(k)].data(); }
  const T* operator[](int k) const { return planes_[static_cast<std::size_t>(k)].data(); }
  std::size_t size() const { return len_; }
  int count() const { return static_cast<int>(planes_.size()); }

 private:
  std::size_t len_;
  std::vector<std::vector<T, LineAligned<T>>> planes_;
};

using FloatPlanes = PlaneSet<float>;
using BytePlanes = PlaneSet<std::uint8_t>;
using FloatPlanesHandle = std::unique_ptr<FloatPlanes>;
using BytePlanesHandle = std::unique_ptr<BytePlanes>;

// New sets are zero-filled.
FloatPlanesHandle newFloatPlanes(int count, std::size_t len);
BytePlanesHandle newBytePlanes(int count, std::size_t len);

// Releases the set and nulls the handle; a null handle is left alone.
template <typename T>
void freePlanes(std::unique_ptr<PlaneSet<T>>& handle, int /*count*/) {
  handle.reset();
}

// Copies elements 0..len-1 of planes 0, 1 and 2.
void copyPlanes(const FloatPlanes& src, std::size_t len, FloatPlanes& dst);

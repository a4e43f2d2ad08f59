#include "schedule/kernels.h"

#include <cassert>

namespace scv {
void (*searchRowFor(Isa isa))(const SearchRow&);
void (*updateBandFor(Isa isa))(const UpdateJob&, int, int, const std::function<void(int)>*,
                               BandScratch&);
void (*adaptPixelsFor(Isa isa))(const AdaptJob&);
}  // namespace scv

const Kernels& kernelsFor(Isa isa) {
  static const Kernels table[] = {
      {scv::searchRowFor(Isa::Portable), scv::updateBandFor(Isa::Portable), scv::adaptPixelsFor(Isa::Portable)},
      {scv::searchRowFor(Isa::Sse4), scv::updateBandFor(Isa::Sse4), scv::adaptPixelsFor(Isa::Sse4)},
      {scv::searchRowFor(Isa::Avx2), scv::updateBandFor(Isa::Avx2), scv::adaptPixelsFor(Isa::Avx2)},
      {scv::searchRowFor(Isa::Avx512), scv::updateBandFor(Isa::Avx512), scv::adaptPixelsFor(Isa::Avx512)},
      {scv::searchRowFor(Isa::Neon), scv::updateBandFor(Isa::Neon), scv::adaptPixelsFor(Isa::Neon)},
  };
  assert(isaAvailable(isa));
  return table[static_cast<int>(isa)];
}

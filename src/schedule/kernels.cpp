#include "schedule/kernels.h"

#include <cassert>

namespace scv {
void (*searchRowFor(Isa isa))(const SearchRow&);
void (*updateBandFor(Isa isa))(const UpdateJob&, int, int, const std::function<void(int)>*,
                               BandScratch&);
}  // namespace scv

const Kernels& kernelsFor(Isa isa) {
  static const Kernels table[] = {
      {scv::searchRowFor(Isa::Portable), scv::updateBandFor(Isa::Portable)},
      {scv::searchRowFor(Isa::Sse4), scv::updateBandFor(Isa::Sse4)},
      {scv::searchRowFor(Isa::Avx2), scv::updateBandFor(Isa::Avx2)},
      {scv::searchRowFor(Isa::Avx512), scv::updateBandFor(Isa::Avx512)},
      {scv::searchRowFor(Isa::Neon), scv::updateBandFor(Isa::Neon)},
  };
  assert(isaAvailable(isa));
  return table[static_cast<int>(isa)];
}

#include "schedule/kernels.h"

#include <cassert>

namespace scv {
void (*searchRowFor(Isa isa))(const SearchRow&);
void (*updateBandFor(Isa isa))(const UpdateJob&, int, int, const std::function<void(int)>*,
                               BandScratch&);
void (*adaptPixelsFor(Isa isa))(const AdaptJob&);
void (*convertRowFor(Isa isa))(const ConvertRow&);
}  // namespace scv

const Kernels& kernelsFor(Isa isa) {
  auto of = [](Isa i) {
    return Kernels{scv::searchRowFor(i), scv::updateBandFor(i), scv::adaptPixelsFor(i),
                   scv::convertRowFor(i)};
  };
  static const Kernels table[] = {of(Isa::Portable), of(Isa::Sse4), of(Isa::Avx2), of(Isa::Avx512),
                                  of(Isa::Neon)};
  assert(isaAvailable(isa));
  return table[static_cast<int>(isa)];
}

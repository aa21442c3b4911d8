// The media the benchmarks share, so that their figures speak of the same head.
#pragma once

#include "nlayer/medium.h"

namespace nlayer {

// The head of examples/adult_head (scalp, skull, cerebrospinal fluid, brain): 10 to 30 mm take
// the single rule, 40 mm two panels.
inline Medium AdultHead() {
  return Medium{{{1.9L, 0.018L, 1.4L, 3.0L},
                 {1.6L, 0.016L, 1.4L, 7.0L},
                 {0.25L, 0.004L, 1.4L, 2.0L},
                 {1.2L, 0.02L, 1.4L, 50.0L}}};
}

}  // namespace nlayer

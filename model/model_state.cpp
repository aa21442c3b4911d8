#include "model/model_state.h"

namespace nlayer {

ModelState State;

}  // namespace nlayer

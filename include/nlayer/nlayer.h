// The whole public interface of the nlayer library.
#pragma once

#include "nlayer/errors.h"
#include "nlayer/medium.h"
#include "nlayer/moments.h"
#include "nlayer/monte_carlo.h"
#include "nlayer/reflectance.h"

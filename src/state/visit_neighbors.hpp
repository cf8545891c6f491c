// Saved state of the neighbors classes: each class's visit names its fields in order.
#pragma once

#include "state/archive.hpp"

namespace kavro {}  // namespace kavro

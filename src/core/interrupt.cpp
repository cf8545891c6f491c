#include "core/interrupt.hpp"

namespace kavro {

// Defined here, in the shared core library, so that every module sees the one slot.
InterruptCheck& interrupt_check_slot() {
    static InterruptCheck check = nullptr;
    return check;
}

}  // namespace kavro

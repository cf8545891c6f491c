// Cooperative interruption of long loops. The core stays free of Python: the
// binding layer installs a check at module initialisation (by default none), and
// loops that can run long call poll_interrupt() every kInterruptInterval steps.
// The check reports an interruption by throwing; a loop that polls must leave its
// object valid at that point (every structure consistent, the work done so far kept).
#pragma once

namespace kavro {

using InterruptCheck = void (*)();

// Steps between two checks: far apart enough that the fast path pays nothing.
inline constexpr unsigned kInterruptInterval = 1024;

// The process-wide slot (one copy, in the core library).
InterruptCheck& interrupt_check_slot();

inline void set_interrupt_check(InterruptCheck check) { interrupt_check_slot() = check; }

// Runs the installed check, which may throw.
inline void poll_interrupt() {
    if (const InterruptCheck check = interrupt_check_slot()) check();
}

}  // namespace kavro

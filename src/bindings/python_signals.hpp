// The core's interrupt check as the extension modules install it (the slot is shared by
// every module, so installing it twice is harmless).
#pragma once

#include <pybind11/pybind11.h>

#include "core/interrupt.hpp"

namespace kavro::bindings {

// Runs pending signal handlers and carries the exception one raised
// (KeyboardInterrupt for Ctrl-C) out of the core. Threads without the interpreter
// (ensemble members trained by a batch call) skip it: the calling thread checks
// between chunks.
inline void check_python_signals() {
    if (PyGILState_Check() == 0) return;
    if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
}

inline void install_interrupt_check() { kavro::set_interrupt_check(&check_python_signals); }

}  // namespace kavro::bindings

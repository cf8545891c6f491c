// Blocks of the plain lines of a CSV file, read and converted on a thread of their own.
#pragma once

#include <pybind11/pybind11.h>

namespace kavro::native {

void bind_csv_reader(pybind11::module_& m);

}  // namespace kavro::native

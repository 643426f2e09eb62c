// The shaping of the stock profit-and-loss rows: summary rows without their detail entry, and the
// flat list of detail rows under it.
#pragma once

#include "pyglue.hpp"

namespace dorvane_account {

namespace py = pybind11;

// rm_dict_key(d, *keys): a plain copy of `d` without `keys`; a missing key raises KeyError.
py::dict rm_dict_key(py::handle d, py::args keys);

// assimilate_type(details): [details] for a dict (or dict subclass), `details` itself otherwise.
py::object assimilate_type(py::object details);

// {"summary": [...], "detail": [...]} from the reply rows and their detail key. Uses the module's
// rm_dict_key and assimilate_type as they are bound when it runs.
py::dict split_rows(py::handle rows, const char* detail_key);

}  // namespace dorvane_account

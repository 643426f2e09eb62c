// The map of pending requests (`req_map`: request handle -> future) and how its futures are
// settled: never twice, never after their awaiter cancelled them.
#pragma once

#include "connect_common.hpp"

namespace dorvane_connect {

// fut.done(), through the future's own method.
inline bool future_done(py::handle fut) { return truthy(call_method(fut, N.done)); }

// Settles a future unless it is already done (cancelled by its awaiter, or failed earlier). A
// future that cannot be settled (its loop is closed) is reported to its loop's exception handler;
// the caller goes on.
void settle_result(py::handle fut, py::handle value);
void settle_exception(py::handle fut, py::handle exc);

// Fails every future still pending in `req_map` with `exc` and empties the map.
void fail_pending(py::handle req_map, py::handle exc);

// A done-callback that marks a future's exception as retrieved (for requests nobody awaits,
// such as the keep-alive's), so a failure there leaves no "never retrieved" report.
py::object retrieve_callback();

}  // namespace dorvane_connect

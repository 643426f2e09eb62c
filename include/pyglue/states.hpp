// Explicit states: an enum class with one checked transition table.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <cstddef>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

// The state of a C++ state machine (a coroutine's progress, say) and its one checked transition.
// `State` is an enum class whose values count up from 0; the table lists every allowed transition
// and a name for each state. A transition the table does not list is a fault of this code: it
// raises RuntimeError("cannot switch state from A to B") instead of going on in a state no path
// was written for.
template <class State>
class States {
public:
    struct Edge {
        State from;
        State to;
    };
    struct Table {
        template <size_t E, size_t N>
        constexpr Table(const Edge (&e)[E], const char* const (&n)[N])
            : edges(e), count(E), names(n), name_count(N) {}
        const Edge* edges;
        size_t count;
        const char* const* names;
        size_t name_count;
    };

    States(State initial, const Table& table) : state_(initial), table_(&table) {}

    State get() const { return state_; }
    bool is(State s) const { return state_ == s; }

    // Moves to `next` when the table allows it; RuntimeError otherwise.
    void set(State next) {
        for (size_t i = 0; i < table_->count; ++i) {
            if (table_->edges[i].from == state_ && table_->edges[i].to == next) {
                state_ = next;
                return;
            }
        }
        PyErr_Format(PyExc_RuntimeError, "cannot switch state from %s to %s", name(state_), name(next));
        throw py::error_already_set();
    }

private:
    const char* name(State s) const {
        auto i = static_cast<size_t>(s);
        return i < table_->name_count ? table_->names[i] : "?";
    }

    State state_;
    const Table* table_;
};

}  // namespace pyglue

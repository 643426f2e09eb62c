// Explicit states: an enum class with one checked transition table.
//
// Part of the Python glue: reached only through pyglue.hpp, which includes the parts in order.
#pragma once

#include <cstddef>

namespace PYGLUE_HIDDEN pyglue {

namespace py = pybind11;

namespace detail {
// Called only where a state table does not match its enum: a constant table then fails to compile
// with this name in the message.
inline void state_names_do_not_match_the_enum() {}
}  // namespace detail

// The state of a C++ state machine (a coroutine's progress, say) and its one checked transition.
// `State` is an enum class whose values count up from 0; the table lists every allowed transition
// and names each state beside its value, in the enum's order. A transition the table does not list
// is a fault of this code: it raises RuntimeError("cannot switch state from A to B") instead of
// going on in a state no path was written for.
//
// A table is declared constexpr, and its construction checks it against the enum when the code
// compiles: the names stand in the enum's order, one for each value from 0, and every state an
// edge names has a name.
template <class State>
class States {
public:
    struct Edge {
        State from;
        State to;
    };
    struct Named {
        State state;
        const char* name;
    };
    struct Table {
        template <size_t E, size_t N>
        constexpr Table(const Edge (&e)[E], const Named (&n)[N])
            : edges(e), count(E), names(n), name_count(N) {
            for (size_t i = 0; i < N; ++i) {
                if (static_cast<size_t>(n[i].state) != i) detail::state_names_do_not_match_the_enum();
            }
            for (size_t i = 0; i < E; ++i) {
                if (static_cast<size_t>(e[i].from) >= N || static_cast<size_t>(e[i].to) >= N)
                    detail::state_names_do_not_match_the_enum();
            }
        }
        const Edge* edges;
        size_t count;
        const Named* names;
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
        return i < table_->name_count ? table_->names[i].name : "?";
    }

    State state_;
    const Table* table_;
};

}  // namespace pyglue

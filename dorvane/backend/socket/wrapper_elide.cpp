#include "wrapper.hpp"

#include <string>
#include <utility>

namespace dorvane_wrapper {

namespace {

using Step = pyglue::Coroutine::Step;

// The state of one decorated function: the function, a slot for the one job that may wait, and the
// runner flag (set while some call drains the slot). The decorated function and each of its calls
// share it through a pyglue::Box.
//
// Each method below reads and changes the slot and the flag in C++ alone, without calling into
// Python, so it runs whole under the interpreter lock: calls made on several loop threads at once
// (every facade shares the state of its class's update_statusAsync) cannot interleave inside it.
// A reference that one of them drops is released by its caller after the state is consistent.
class SingleRunner : public pyglue::Traversable {
public:
    explicit SingleRunner(py::object fn) : fn_(std::move(fn)) {}

    const py::object& fn() const { return fn_; }

    // Queues `job` when the slot is free (when a job already waits, `job` is left with the caller
    // and so dropped), then makes the caller the runner unless another call already is: true when
    // the caller is now the runner.
    bool offer_and_claim(py::object& job) {
        if (!waiting_) waiting_ = std::move(job);
        if (running_) return false;
        running_ = true;
        return true;
    }

    // The waiting job, taken from the slot; or, when the slot is empty, a null object after the
    // flag has been cleared (no suspension lies between that test and the clearing).
    py::object take_or_release() {
        if (!waiting_) {
            running_ = false;
            return py::object();
        }
        return std::move(waiting_);
    }

    // The runner ended without draining the slot (its job failed, it was cancelled or closed, or
    // it was released while suspended): the flag is cleared so later calls are served again.
    // A job still waiting stays in the slot for the next runner.
    void release() { running_ = false; }

    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, fn_, waiting_);
    }
    void clear() override { pyglue::drop_members(fn_, waiting_); }

private:
    py::object fn_;
    py::object waiting_;
    bool running_ = false;
};

// The progress of one call: Start until its first step; Bystander when its job was queued (or
// dropped) for the runner of another call; Runner while it drains the slot, owning the runner
// flag; Done once it finished or gave up as the runner.
enum class CallState { Start, Bystander, Runner, Done };
using CallStates = pyglue::States<CallState>;
constexpr CallStates::Named kCallStateNames[] = {{CallState::Start, "Start"},
                                                 {CallState::Bystander, "Bystander"},
                                                 {CallState::Runner, "Runner"},
                                                 {CallState::Done, "Done"}};
constexpr CallStates::Edge kCallEdges[] = {{CallState::Start, CallState::Bystander},
                                           {CallState::Start, CallState::Runner},
                                           {CallState::Runner, CallState::Done}};
constexpr CallStates::Table kCallTable{kCallEdges, kCallStateNames};

// The coroutine of one call of the decorated function.
class ElideCall : public pyglue::Coroutine {
public:
    ElideCall(py::object runner, std::string qualname, py::tuple args, py::dict kwargs)
        : pyglue::Coroutine(std::move(qualname)),
          runner_(std::move(runner)),
          args_(std::move(args)),
          kwargs_(std::move(kwargs)) {}

protected:
    int traverse(visitproc visit, void* arg) override {
        return pyglue::visit_members(visit, arg, runner_, args_, kwargs_);
    }
    // Also when the call is released while it drains the slot: the runner flag is cleared then.
    void clear() override {
        if (runner_ && state_.is(CallState::Runner)) runner().release();
        pyglue::drop_members(runner_, args_, kwargs_);
    }

    Step step(py::object /*value*/, py::object exc) override {
        if (state_.is(CallState::Start)) {
            py::object job = make_own_job();
            bool claimed = runner().offer_and_claim(job);
            pyglue::drop(job);  // a job left with this call (one already waits) goes now
            if (!claimed) {
                state_.set(CallState::Bystander);
                return Step::finish();
            }
            state_.set(CallState::Runner);
        } else if (!exc.is_none()) {
            // The job in progress raised, or the coroutine was cancelled or closed: the drain ends
            // and the exception goes on to whoever awaits this call.
            give_up();
            pyglue::raise(exc);
        }
        // The job just awaited ended normally; its result is dropped.
        return next_job();
    }

private:
    SingleRunner& runner() { return pyglue::unbox<SingleRunner>(runner_); }

    // partial(fn, *args, **kwargs) of this call's arguments, which the coroutine then no longer
    // holds. The program's arguments and jobs are dropped explicitly, in ordinary code: the
    // coroutine runs on a loop thread, where a release left to a destructor could run a finaliser
    // of the program's as the interpreter finalises (pyglue::drop).
    py::object make_own_job() {
        py::object job = global(N::partial)(runner().fn(), *args_, **kwargs_);
        pyglue::drop_members(args_, kwargs_);
        return job;
    }

    Step next_job() {
        py::object job = runner().take_or_release();
        if (!job) {
            state_.set(CallState::Done);  // the runner flag was cleared with the slot found empty
            return Step::finish();
        }
        // What the job returned is the program's object: one that cannot be awaited is dropped in
        // the clean-up too, not by the unwind.
        py::object awaitable;
        return pyglue::on_failure(
            [&] {
                awaitable = job();
                pyglue::drop(job);
                pyglue::require_awaitable(awaitable);
                return Step::await_on(std::move(awaitable));
            },
            [&] {
                pyglue::drop_members(job, awaitable);
                give_up();
            });
    }

    void give_up() {
        if (!state_.is(CallState::Runner)) return;
        runner().release();
        state_.set(CallState::Done);
    }

    py::object runner_;  // the box of the SingleRunner
    py::tuple args_;
    py::dict kwargs_;
    CallStates state_{CallState::Start, kCallTable};
};

const char* const kElideDoc =
    "\n    function decorated with this will only execute once at a time.\n"
    "    Caution: If return value of function is required, don't use this.\n    ";

}  // namespace

py::object elide(py::object fn) {
    py::object runner = pyglue::box<SingleRunner>(fn);
    std::string qualname = "elide.<locals>.wrapper";
    py::object fn_qualname = pyglue::attr_or(fn, N::__qualname__, py::none());
    if (PyUnicode_Check(fn_qualname.ptr())) qualname = py::str(fn_qualname);

    py::module_ m = pyglue::this_module();
    py::object wrapper = pyglue::make_function(
        m, "elide.<locals>.wrapper",
        pyglue::capture(
            [](py::object slot, const std::string& name, py::args args, py::kwargs kwargs) {
                return pyglue::Coroutine::make<ElideCall>(slot, name, std::move(args), std::move(kwargs));
            },
            runner, qualname));
    wrapper = global(N::wraps)(fn)(wrapper);
    pyglue::mark_coroutine_function(wrapper);
    return wrapper;
}

void bind_elide(py::module_& m) { pyglue::def(m, "elide", &elide, py::arg("fn"), kElideDoc); }

}  // namespace dorvane_wrapper

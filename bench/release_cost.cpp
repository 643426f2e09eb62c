// Cost of the glue's reference release (include/pyglue_release.hpp) beside the interpreter's own
// inline release: nanoseconds per increment-and-release pair on live objects, while the
// interpreter runs normally. Built and run by bench/release_cost.py.
#include "pyglue_release.hpp"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double ns_per_pair(const std::vector<PyObject*>& objects, long rounds, F release) {
    auto start = Clock::now();
    for (long r = 0; r < rounds; ++r) {
        for (PyObject* op : objects) {
            Py_INCREF(op);
            asm volatile("" ::: "memory");
            release(op);
        }
    }
    std::chrono::duration<double, std::nano> took = Clock::now() - start;
    return took.count() / (double(rounds) * objects.size());
}

}  // namespace

int main() {
    Py_Initialize();
    pyglue::compat::find_finalizing_word();  // as each module's initialisation does
    std::vector<PyObject*> objects;
    for (long i = 0; i < 64; ++i) objects.push_back(PyLong_FromLong(1000000 + i));
    const long rounds = 1000000;
    double plain = 0, glue = 0;
    for (int pass = 0; pass < 3; ++pass) {  // the best of three of each
        double p = ns_per_pair(objects, rounds, [](PyObject* op) { (Py_DECREF)(op); });
        double g = ns_per_pair(objects, rounds, [](PyObject* op) { Py_DECREF(op); });
        if (pass == 0 || p < plain) plain = p;
        if (pass == 0 || g < glue) glue = g;
    }
    std::printf("interpreter's release  %6.2f ns per pair\n", plain);
    std::printf("glue's release         %6.2f ns per pair (+%.2f ns)\n", glue, glue - plain);
    for (PyObject* op : objects) Py_DECREF(op);
    Py_Finalize();
    return 0;
}

# make run  - install what is missing, build, run the example against the bundled local servers
# make test - install what is missing, build, check the C++ layout against .clang-format and the
#             tree's shape (tools/lint.py), run the C++ tests and pytest, then both again against
#             a build with AddressSanitizer and UndefinedBehaviorSanitizer (tools/sanitize_tests.sh)
PY     := /usr/bin/python3
BUILD  := build
JOBS   ?= 8
# pytest-xdist workers for the test suite (0: one process)
PYTEST_JOBS ?= $(JOBS)

.PHONY: deps build test run clean

deps:
	@./tools/install_deps.sh

# Compiler warnings are errors in the build that make test does (WERROR=ON there).
WERROR ?= OFF

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PY) -DDORVANE_WERROR=$(WERROR)
	cmake --build $(BUILD) -j$(JOBS)

test: WERROR = ON
test: build
	./tools/check_format.sh
	$(PY) tools/lint.py
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	$(PY) -m pytest -q -p no:cacheprovider $(if $(filter-out 0,$(PYTEST_JOBS)),-n $(PYTEST_JOBS)) tests
	JOBS=$(JOBS) PYTEST_JOBS=$(PYTEST_JOBS) ./tools/sanitize_tests.sh build-asan

# The build's own output goes to $(BUILD)/build.log (shown only when the build fails), so the run
# shows the tour alone.
run: deps
	@mkdir -p $(BUILD)
	@echo "building (output in $(BUILD)/build.log)"
	@$(MAKE) --no-print-directory build JOBS=$(JOBS) > $(BUILD)/build.log 2>&1 || { cat $(BUILD)/build.log; exit 1; }
	@$(PY) tools/run_example.py

clean:
	rm -rf $(BUILD) build-asan
	find dorvane -name '*.so' -delete

# make run  - install what is missing, build, run the example against the bundled local servers
# make test - install what is missing, build, run the C++ tests (also under ASan/UBSan) and pytest
PY     := /usr/bin/python3
BUILD  := build
JOBS   ?= 8

.PHONY: deps build test run clean

deps:
	@./tools/install_deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=$(PY)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	if [ -x tools/sanitize_tests.sh ]; then ./tools/sanitize_tests.sh; fi
	$(PY) -m pytest -q -p no:cacheprovider tests

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

PY := .venv/bin/python
# Warnings are errors in every build we run ourselves.
BUILD_FLAGS := -Ccmake.define.VEXLO_WERROR=ON -Ccmake.define.VEXLO_TEST_EXTENSION=ON

.PHONY: setup build test test-asan bench run clean

setup:
	bash scripts/bootstrap.sh

build: setup
	$(PY) -m pip install -q --no-build-isolation --no-deps $(BUILD_FLAGS) -e .

test: build
	bash scripts/bootstrap.sh --tests
	$(PY) -m pytest -q $(PYTEST_ARGS)

bench: build
	$(PY) bench/run.py

test-asan:
	bash scripts/test-asan.sh $(PYTEST_ARGS)

# Not echoed: ARGS may carry a key (--api-key).
run: build
	@$(PY) -m vexlo.server $(ARGS)

clean:
	rm -rf build .venv .venv-asan

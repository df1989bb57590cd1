# Two commands: `make run` builds the demo host and what it loads, and serves;
# `make test` builds everything and runs every test.
# Both install what is missing and build through the CMake presets.

ARGS ?=
# Parallel build jobs.
JOBS ?= $(shell nproc)

.PHONY: run test

run:
	@scripts/ensure-packages.sh
	cmake --preset native
	cmake --build --preset native -j $(JOBS) --target rkhost
	build/native/bin/rkhost $(ARGS)

test:
	@scripts/ensure-packages.sh --with-windows
	cmake --preset native
	cmake --build --preset native -j $(JOBS)
	ctest --preset native
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan
	cmake --preset win
	cmake --build --preset win -j $(JOBS)
	ctest --preset win

# Front door of the build. `make test` and `make demo` work on a fresh machine: they install the
# missing Debian packages first (root, apt-get), then configure and build with CMake + Ninja.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
DEMO_DIR   ?= quickstart_db
CMAKE_ARGS ?=

DEB_PACKAGES := cmake ninja-build g++ libmimalloc-dev libtomlplusplus-dev libtbb-dev \
                libgtest-dev libgmock-dev libbenchmark-dev

.PHONY: all deps bench-deps build build-asan build-tsan test demo bench clean

all: build

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# hnswlib is only benchmarked against, never linked into the module.
bench-deps: deps
	@dpkg-query -W -f='$${Status}' libhnswlib-dev 2>/dev/null | grep -q 'install ok installed' || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libhnswlib-dev)

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLMERE_SANITIZE=ON $(CMAKE_ARGS)

# ThreadSanitizer (libtsan comes with g++): every test that starts threads, the C++ suites.
$(TSAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMERE_TSAN=ON $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

build-tsan: deps $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target core_tests database_tests

# Every test of the plain build, then every test again under ASan + UBSan (the Python suite
# included), then the C++ tests under ThreadSanitizer. Every build treats warnings as errors.
test: build build-asan build-tsan
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)

PYTHON = $(shell sed -n 's/^Python3_EXECUTABLE:FILEPATH=//p' $(BUILD)/CMakeCache.txt 2>/dev/null)

# The Python quick start, with the module just built.
demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/quickstart.py $(DEMO_DIR)

# Single-thread kernels and flat scans, PQ training/scoring, then HNSW beside hnswlib. The
# distance benchmarks' repetitions run in a random order, so that a slow spell of the shared
# machine falls on a scan and on the streaming read it is measured against alike.
bench: bench-deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)
	./$(BUILD)/bench/distance_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true --benchmark_out=$(BUILD)/distance_bench.json --benchmark_out_format=json
	python3 bench/summarize.py $(BUILD)/distance_bench.json
	./$(BUILD)/bench/pq_bench
	./$(BUILD)/bench/hnsw_bench
	./$(BUILD)/bench/result_set_bench
	./$(BUILD)/bench/table_file_bench
	./$(BUILD)/bench/create_table_bench
	./$(BUILD)/bench/manager_search_bench
	./$(BUILD)/bench/save_threads_bench
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/python_bench.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)

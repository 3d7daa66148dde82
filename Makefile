# Front door: make demo (deps, build, run the main job on the bundled sample)
# and make test (the same, then the whole suite).
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
JOBS ?= $(shell nproc)
# make install PREFIX=/usr DESTDIR=/tmp/stage: files go to $(DESTDIR)$(PREFIX)/...
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: deps build demo test install deb bench asan fuzz clean

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@bash scripts/demo.sh $(BUILD)

test: demo
	ctest --test-dir $(BUILD) --output-on-failure -j2 --timeout 300

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package, $(BUILD)/tarvex_VERSION_ARCH.deb, installs under /usr.
deb: build
	cd $(BUILD) && cpack -G DEB

bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@bash bench/run.sh $(BENCH_BUILD)

asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug "-DTARVEX_SANITIZE=address;undefined" >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j2 --timeout 600

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DTARVEX_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@bash fuzz/run.sh $(FUZZ_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)

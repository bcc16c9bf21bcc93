# The two commands of the README: `make run` and `make test`. Everything else hangs off them.
.PHONY: all bootstrap build build-native build-windows test test-native test-windows run dist fuzz bench format clean

all: build

bootstrap:
	@scripts/bootstrap.sh

build: build-native build-windows

build-native: bootstrap
	@cmake --preset native >/dev/null
	@cmake --build --preset native

build-windows: bootstrap
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows

test: test-native test-windows

test-native: build-native
	@ctest --preset native

test-windows: build-windows
	@ctest --preset windows

run: build
	@scripts/run-service.sh

# The release executables, their debug files, the installer package, an archive and checksums in
# build/dist; signed when SIGN_CERT and SIGN_KEY name a certificate and its key.
dist: bootstrap
	@scripts/dist.sh

fuzz: bootstrap
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
	@scripts/fuzz.sh $(or $(SECONDS),60)

# Also builds the release executables as `make dist` does, into build/bench-dist, for their idle memory.
bench: build-windows
	@scripts/bench.sh

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build

# Two commands do all the set-up on a fresh Debian 12 machine:
#   make run    installs what is missing, builds, runs the daemon in the foreground (-v)
#   make test   installs what is missing, builds, runs the whole test suite
BUILD ?= build
JOBS ?= $(shell nproc)
# What building and running the daemon needs; the tests need the rest.
BUILD_PACKAGES = g++ cmake make pkg-config libgsoap-dev gsoap libssl-dev openssl python3 \
                 libsystemd-dev
PACKAGES = $(BUILD_PACKAGES) libgtest-dev libexpat1-dev python3-zeep curl
SUDO = $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# PHP's SoapClient for the interop tests (tests/interop/stacks_test.cpp).
PACKAGES += php-cli php-soap
# xmllint holds every SOAP 1.2 fault to the envelope schema (tests/service/serve_test.cpp).
PACKAGES += libxml2-utils

# The metrics tests check connector-client's output with promtool and scrape it through
# a real node exporter; installed here so that they never skip in CI.
PACKAGES += prometheus prometheus-node-exporter
# Headless Chromium plays a web page in the browser test (tests/interop/stacks_test.cpp).
PACKAGES += chromium

.PHONY: deps build-deps build run test asan-test tsan-test leak-check soak bench clean deb \
	format format-check

# Installs those of the packages in $(1) that are not installed yet. A package removed
# with its configuration left still answers dpkg -s, so the state is read whole. Not
# root and without sudo, it names what to install and stops.
define install_missing
@missing=""; for p in $(1); do \
  [ "$$(dpkg-query -W -f='$${Status}' $$p 2>/dev/null)" = "install ok installed" ] || \
    missing="$$missing $$p"; done; \
if [ -n "$$missing" ]; then \
  if [ "$$(id -u)" != 0 ] && ! command -v sudo >/dev/null 2>&1; then \
    echo "not root and no sudo here: install these packages first:$$missing" >&2; exit 1; fi; \
  echo "installing:$$missing"; \
  $(SUDO) apt-get update -qq && \
  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
fi
endef

deps:
	$(call install_missing,$(PACKAGES))

build-deps:
	$(call install_missing,$(BUILD_PACKAGES))

# node-soap (and strong-soap, for the SOAP envelope schemas it ships) and puppeteer-core
# for the interop tests, as pinned in the package-lock.json of tests/interop/node and
# tests/interop/browser, on Debian's nodejs (npm comes with it where Node.js was
# installed otherwise). npm ci runs again only when a lock file changed.
NODE_PACKAGES = nodejs npm
.PHONY: node-deps
deps: node-deps
node-deps:
	@command -v npm >/dev/null 2>&1 || { echo "installing: $(NODE_PACKAGES)"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $(NODE_PACKAGES); }
	@for d in tests/interop/node tests/interop/browser; do \
	  ( cd $$d && { [ node_modules/.package-lock.json -nt package-lock.json ] || \
	    npm ci --no-audit --no-fund --loglevel=error; } ) || exit 1; done

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGC_TESTS=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The daemon and the two tools the README plays with: neither the test packages nor the
# tests are needed to run them. The daemon listens on the loopback address only: it has
# no authentication of its own (README, "Running it safely").
run: build-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGC_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target gui-connector status-send connector-client
	./$(BUILD)/gui-connector -v -h 127.0.0.1

# Most tests spend their time waiting on sockets and child processes: twice as many at
# once as there are cores keeps the machine busy.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(TEST_JOBS)

# The sanitizer build carries its own default options (cmake/sanitizer_defaults.cpp), so
# its programs need no environment.
asan-test: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DGC_SANITIZE=ON >/dev/null
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j 2

# Benchmarks against baselines measured in the same run (bench/README.md): installs the
# load tools, builds the daemon and the bench programs in Release, prints one table.
BENCH_PACKAGES = wrk nginx-light libbenchmark-dev
BENCH_TARGETS = gui-connector status-send decode-bench bare-soap sink-udp sink-msgq fanout \
	gui-load

bench: deps
	$(call install_missing,$(BENCH_PACKAGES))
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DGC_BENCH=ON >/dev/null
	cmake --build build-bench -j $(JOBS) --target $(BENCH_TARGETS)
	python3 bench/run.py build-bench

# The tests whose threads meet (connection registry, ring waits, endpoint stop, long polls,
# the intake loop, and every test that runs a daemon) under ThreadSanitizer. The daemons
# these tests start are the thread-sanitized build too. Suppressions, each with its
# reason: .ci/tsan.supp.
TSAN_TESTS = ConnRegistry|EndpointTest|EndpointTls|ServeTest|BlockedRing|Store|IntakeLoop|Soap|Fault|Load
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/.ci/tsan.supp

tsan-test: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGC_TSAN=ON >/dev/null
	cmake --build build-tsan -j $(JOBS)
	$(TSAN_ENV) ctest --test-dir build-tsan --output-on-failure -j 2 -R '$(TSAN_TESTS)'

# A whole run of the daemon (every kind of traffic, 100 connections, TLS, stop) in the
# AddressSanitizer build, whose LeakSanitizer fails the run on any leak at exit. asan-test
# runs these too; this is the short way to run only them.
leak-check: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DGC_SANITIZE=ON >/dev/null
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -R 'LoadWholeRun'

# Too long for CI: every fuzz target for 30 minutes, then the fault and load tests twenty
# times over in the normal and the AddressSanitizer build.
SOAK_SECONDS ?= 1800
soak: build
	FUZZ_SECONDS=$(SOAK_SECONDS) .ci/fuzz
	ctest --test-dir $(BUILD) --output-on-failure --repeat until-fail:20 -R 'Fault|Load'
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DGC_SANITIZE=ON >/dev/null
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure --repeat until-fail:20 -R 'Fault|Load'

# Every C++ file git knows, laid out by .clang-format; format-check changes nothing and
# fails on the first file that differs.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')

format:
	$(call install_missing,clang-format)
	@clang-format -i $(FORMAT_FILES)

format-check:
	$(call install_missing,clang-format)
	@clang-format --dry-run -Werror $(FORMAT_FILES) && echo "layout: every C++ file as .clang-format says"

clean:
	rm -rf $(BUILD) build-asan build-bench build-fuzz build-tsan build-deb

# The Debian package (debian/), built by debhelper from the CMake install rules, with
# what its build needs and no more (no test tool chain: debian/rules builds no tests).
# The build tools write next to the source tree; the package files are moved to build-deb/.
DEB_PACKAGES = g++ make debhelper dpkg-dev cmake pkg-config gsoap libgsoap-dev libssl-dev python3 \
               libsystemd-dev
DEB_OUT = build-deb

deb:
	$(call install_missing,$(DEB_PACKAGES))
	dpkg-checkbuilddeps
	dpkg-buildpackage -us -uc -b
	@ver=$$(dpkg-parsechangelog -S Version); rm -rf $(DEB_OUT); mkdir -p $(DEB_OUT); \
	mv ../gui-connector_$${ver}_* ../gui-connector-dbgsym_$${ver}_* $(DEB_OUT)/ 2>/dev/null; \
	ls $(DEB_OUT)/gui-connector_$${ver}_*.deb
	debian/rules clean

# The two commands a newcomer needs:
#   make demo   builds everything and installs the sample packages from a
#               floppy set onto a fresh disk image on the test PC
#   make test   installs what is missing, builds everything, runs every test
BUILD   ?= build
JOBS    ?= $(shell nproc)
HOST    := $(BUILD)/host
TARGET  := $(BUILD)/target
ASAN    := $(BUILD)/asan
BOOTSYS := $(BUILD)/bootsys
FUZZ    := $(BUILD)/fuzz
# Debian's i386 packages, shared by the sample packages and the boot system.
DEBIAN  := $(BUILD)/debian
# Where `make install` puts the tools (PREFIX/bin, PREFIX/lib/brindlex, ...),
# below DESTDIR when given. The builders' default boot system is compiled
# in, so the host build is configured with this prefix (`make deb`: /usr).
PREFIX  ?= /usr/local
DESTDIR ?=
# Seconds per fuzz target: a short run in `make test`, a long one by hand.
FUZZ_SMOKE_SECONDS ?= 5
FUZZ_SECONDS ?= 600

.PHONY: all deps host target asan bootsys fuzz-build fuzz-smoke fuzz test unit install deb package-test demo demo-remote format clean

all: host target bootsys

deps:
	sh scripts/install-deps.sh

host:
	cmake -S . -B $(HOST) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DBRINDLEX_TARGET_DIR=$(abspath $(TARGET)) -DBRINDLEX_BOOTSYS_DIR=$(abspath $(BOOTSYS)) \
	    -DBRINDLEX_DEBIAN_CACHE=$(abspath $(DEBIAN)) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(HOST) -j $(JOBS)

target:
	cmake -S . -B $(TARGET) -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
	    -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/i386-static.cmake) -DBRINDLEX_TARGET=ON
	cmake --build $(TARGET) -j $(JOBS)

asan:
	cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBRINDLEX_SANITIZE=ON \
	    -DBRINDLEX_DEBIAN_CACHE=$(abspath $(DEBIAN))
	cmake --build $(ASAN) -j $(JOBS)

# The libFuzzer targets (clang, ASan, UBSan) and their seeds, made by the
# host build's tools; see fuzz/README.md.
fuzz-build: host
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLEX_FUZZ=ON
	cmake --build $(FUZZ) -j $(JOBS)
	python3 fuzz/make_seeds.py $(HOST) $(FUZZ)/seeds

fuzz-smoke: fuzz-build
	sh fuzz/run.sh $(FUZZ) $(FUZZ_SMOKE_SECONDS)

fuzz: fuzz-build
	sh fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS)

bootsys: target
	sh bootsystem/build.sh $(abspath $(TARGET)) $(abspath $(BOOTSYS)) $(abspath $(DEBIAN))

# The tools, their manual pages, the boot system, the sample packages and
# the documents, below DESTDIR/PREFIX.
install: host bootsys
	DESTDIR="$(DESTDIR)" cmake --install $(HOST)

# The Debian package brindlex-tools_VERSION_amd64.deb in build/host/deb,
# made by CPack from the same install rules with the prefix /usr.
deb:
	$(MAKE) host bootsys PREFIX=/usr
	rm -f $(HOST)/deb/*.deb
	cd $(HOST) && cpack -G DEB

# The package checked by lintian, installed with apt-get, used with its
# defaults (a package, a CD, a disk image, a floppy set; the CD booted on
# the test PC) and purged. Root only: it installs on this machine.
package-test: deb
	BRINDLEX_HOST_DIR=$(abspath $(HOST)) PYTHONPATH=$(abspath testpc) PYTHONDONTWRITEBYTECODE=1 \
	    /usr/bin/python3 tools/packaging/package_test.py $(HOST)/deb/brindlex-tools_*_amd64.deb

unit: host
	cd $(HOST) && ctest -L unit --output-on-failure -j $(JOBS)

test: deps
	$(MAKE) host target bootsys asan
	cd $(ASAN) && ctest -L unit --output-on-failure -j $(JOBS)
	cd $(HOST) && ctest --output-on-failure -j $(JOBS) -LE testpc
	# A test PC is an emulated machine sharing the processors with the
	# others: one that the host starves for half a minute (seen once in
	# a fleet of two PCs) fails its scenario's timing. A scenario that fails
	# runs once more, and its first failure stays in the log.
	cd $(HOST) && ctest --output-on-failure -j $(JOBS) -L testpc --repeat until-pass:2
	$(MAKE) fuzz-smoke
	$(MAKE) package-test

demo:
	@echo "make demo: needs root (to install missing Debian packages), network access to"
	@echo "  Debian's archive, about 1 GB of disk and 10 to 15 minutes on the first run"
	@echo "  (builds, the boot system, the sample packages), a few minutes afterwards."
	$(MAKE) deps
	$(MAKE) host target bootsys
	sh testpc/demo.sh $(abspath $(HOST)) $(abspath $(TARGET)) $(abspath $(BOOTSYS))

# The second act: one router installs another over the network (two test PCs).
demo-remote:
	$(MAKE) deps
	$(MAKE) host target bootsys
	BRINDLEX_HOST_DIR=$(abspath $(HOST)) BRINDLEX_BOOTSYS_DIR=$(abspath $(BOOTSYS)) \
	    BRINDLEX_TARGET_DIR=$(abspath $(TARGET)) PYTHONDONTWRITEBYTECODE=1 \
	    /usr/bin/python3 testpc/demo_remote.py

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf $(BUILD)

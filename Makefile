# make demo   builds in Release mode and dithers the bundled sample
# make test   builds and runs the whole test suite through CTest
# make install  builds in Release mode and installs the program, the library
#             and the Python module under PREFIX (/usr/local by default)
# make asan   the test suite built with AddressSanitizer and UBSan
# make fuzz   the libFuzzer targets (clang): the seed corpus replayed, then each
#             target fuzzed for FUZZ_SECONDS (600 by default; 0 replays only)
# make windows       build-windows/tessaly.exe, cross-built with mingw-w64
# make windows-test  tessaly.exe run under Wine and held against the Linux build
# make aarch64       build-aarch64/tessaly (and tessaly_plain) for 64-bit ARM Linux
# make aarch64-test  its whole test suite under qemu-user, then its outputs held
#                    against the x86 build's

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 600
PREFIX ?= /usr/local

.PHONY: deps demo test install asan fuzz windows windows-test aarch64 aarch64-test clean

deps:
	@scripts/install-deps

demo: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS) --target tessaly
	@rm -rf build/demo && mkdir -p build/demo && cp sample/scene.png build/demo/
	cd build/demo && ../tessaly -p ../../sample/palette.act scene.png
	@echo
	@echo "The dithered sample is build/demo/$$(cd build/demo && ls scene_dithered_*.png 2>/dev/null | head -n 1)"

test: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

install: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS)
	cmake --install build --prefix $(PREFIX)

# Optimised, so that the end-to-end runs keep their pace under the sanitizers.
asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

fuzz:
	@scripts/install-deps clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_FUZZ=ON -DTESSALY_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzz_driver fuzz_palette fuzz_image fuzz_png_writer
	fuzz/run build-fuzz $(FUZZ_SECONDS)

windows:
	@scripts/install-windows-deps
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build build-windows -j $(JOBS) --target tessaly
	@echo "The Windows program is build-windows/tessaly.exe"

# Wine, and the libraries that write the test inputs of every format.
windows-test: windows
	@scripts/install-deps wine64 libtiff-dev libgif-dev libwebp-dev
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS) --target tessaly
	tests/windows/run build build-windows

AARCH64_CONFIGURE = cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null

aarch64:
	@scripts/install-aarch64-deps
	$(AARCH64_CONFIGURE)
	cmake --build build-aarch64 -j $(JOBS) --target tessaly tessaly_plain
	@echo "The aarch64 program is build-aarch64/tessaly"

# The tests start the program through the emulator as CTest starts them.
aarch64-test: aarch64
	cmake --build build-aarch64 -j $(JOBS)
	cd build-aarch64 && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS) --target tessaly make_sample palettes
	tests/aarch64/run build build-aarch64

clean:
	rm -rf build build-asan build-fuzz build-windows build-aarch64

# make demo   builds in Release mode and dithers the bundled sample
# make test   builds and runs the whole test suite through CTest
# make asan   the test suite built with AddressSanitizer and UBSan

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps demo test asan clean

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

asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTESSALY_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build build-asan

# The two commands of the project. Both install what is missing first.
.PHONY: demo test deps build clean

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
	CCACHE_BASEDIR=$(CURDIR) CCACHE_NOHASHDIR=1 cmake --build build/native -j $$(nproc)

demo: build
	@bash scripts/demo.sh

test: deps
	@bash scripts/test.sh

clean:
	rm -rf build

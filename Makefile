# Everything is built through CMake in build/; these targets are the whole
# set-up on a fresh machine.
BUILD   ?= build
PREFIX  ?= /usr/local
JOBS    ?= $(shell nproc)
CMAKE   ?= cmake

.PHONY: all build demo test bench clean

all: build

$(BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# Runs the program on the bundled example in a scratch folder, answering the
# two questions (11 variables, 32 observations) for the user.
demo: build
	@dir=$$(mktemp -d /tmp/quorvin-demo.XXXXXX); \
	cp examples/mtcars/data.txt $$dir/; \
	echo "Running quorvin on examples/mtcars/data.txt in $$dir"; \
	echo "(answers typed for you: 11 variables, 32 observations)"; echo; \
	cd $$dir && printf '11\n32\n' | $(CURDIR)/$(BUILD)/quorvin && echo && \
	echo "Result files in $$dir:" && ls -l $$dir

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

.PHONY: install package

# Installs the program and its manual page under PREFIX (default /usr/local).
# --prefix makes the PREFIX given now win over the one that the build folder
# was configured with.
install: build
	$(CMAKE) --install $(BUILD) --prefix $(PREFIX)

# Builds a Debian package of the same files, left in $(BUILD).
package: build
	$(CMAKE) --build $(BUILD) --target package

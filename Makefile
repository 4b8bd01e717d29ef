# Two entry points on a fresh Debian machine:
#   make run   install what is missing, build, start the daemon in the foreground
#   make test  install what is missing, build with sanitizers, run every test,
#              then the suites that start threads again under ThreadSanitizer
# clang and its runtime build the fuzz targets; python3-cryptography is the
# cipher tests' independent XTS; fdisk, gdisk and parted write the partition
# tables the readers are tested on; libnbd-bin, python3-libnbd and
# qemu-utils are the NBD clients of the end-to-end tests; libssl-dev and
# libbenchmark-dev build the cipher benchmark beside OpenSSL's XTS;
# libxxhash-dev is the XXH3 hash the digest wrappers call; libjson-c-dev is
# the JSON parser under the JSONPath filter and the virtual devices; tshark
# reads the pcap log files back, chromium drives the web tool's page, tmux is
# the terminal the line editor is tested on, and xxhash (xxh128sum) is the
# file-hash tool's independent digest (openssl for SM3).
PACKAGES := cmake ninja-build g++ make libgtest-dev clang libclang-rt-14-dev python3 \
            python3-cryptography fdisk gdisk parted \
            libnbd-bin python3-libnbd qemu-utils libssl-dev libbenchmark-dev libxxhash-dev \
            libjson-c-dev tshark chromium tmux xxhash openssl
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS := $(shell nproc)

TEST_DIR := build/test
TSAN_DIR := build/tsan
RUN_DIR  := build/run
# The suites that start threads (threads, thread names, queue, condition
# events and mutexes, poller, sockets, logger, named pipes, connections,
# servers, service contexts, proxies, the NBD server, its client pool and
# the request buffers' budget, the thread pool, the ring, the block queue
# and the accumulator, binary records and their readers, the file tools,
# block devices opened from many threads, the daemonizer's fork hooks,
# plug-ins and virtual devices, the web tool and its password checker, the
# shell's nesting on a session stack and the debug shell's sessions), and
# the daemon stopped with shell sessions open, as CTest name patterns.
TSAN_TESTS := ^((NamedThread|ThreadName|Queue|CondEvent|Mutex|Poller|Sock[A-Za-z0-9]*|Log[A-Za-z]*|NamePipe|Net(Sock|Gets|Pipe|Open2Proxy)[A-Za-z]*|Proxy[A-Za-z]*|Nbd[A-Za-z]*|ClientPool|BufBudget|ThreadPool|Rbuf[A-Za-z]*|Mbuf[A-Za-z]*|MemAdd[A-Za-z]*|Bsv[A-Za-z0-9/]*|Log/[A-Za-z]*|([A-Za-z]+/)?FileHash[A-Za-z]*|([A-Za-z]+/)?FileBcount[A-Za-z]*|ReadCache|Pwritex|BdTool|BlockDev|DaemonHooks[A-Za-z]*|VdevThreads|Plugin|WebTool|Pwd|HttpdPair|ShellNesting|DebugShellSession|ShellRecentLog|Syslog[A-Za-z]*|([A-Za-z]+/)?LogFileFull)\.|e2e\.zorv\.stop_with_shell_sessions$$)

.PHONY: deps build-test build-tsan build-run test run clean

# Another install (a second make test or make run, a system update) may hold
# the package manager's locks: apt waits for them this many seconds at most,
# saying so, instead of failing at once. apt-get update does not wait for its
# lists' lock by itself, so it is tried again while that lock is held.
APT_LOCK_WAIT := 900
APT := $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=$(APT_LOCK_WAIT)

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "installing:" $$missing; \
		end=$$(( $$(date +%s) + $(APT_LOCK_WAIT) )); told=; \
		until out=$$($(APT) update -qq 2>&1); do \
			case "$$out" in *"Could not get lock"*) ;; *) echo "$$out" >&2; exit 1;; esac; \
			[ $$(date +%s) -lt $$end ] || { echo "$$out" >&2; exit 1; }; \
			[ -n "$$told" ] || echo "waiting for the package lists' lock, held by another install (at most $(APT_LOCK_WAIT) s)"; \
			told=1; sleep 5; \
		done; \
		echo "apt waits for the package manager's lock if another install holds it (at most $(APT_LOCK_WAIT) s)"; \
		$(APT) install -y -qq $$missing; \
	fi

build-test: deps
	cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZORV_SANITIZE=ON -DZORV_WERROR=ON
	cmake --build $(TEST_DIR) -j $(JOBS)

build-tsan: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZORV_SANITIZE=thread -DZORV_WERROR=ON
	cmake --build $(TSAN_DIR) -j $(JOBS) --target pal_tests log_tests net_tests nbd_tests \
		bsv_tests bsvf_tests block_tests vdev_tests httpd_tests pwd_tests dbg_tests sh_tests zorv

build-run: deps
	cmake -S . -B $(RUN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORV_TESTS=OFF
	cmake --build $(RUN_DIR) -j $(JOBS)

test: build-test build-tsan
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)
	cd $(TSAN_DIR) && ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)'

# The repository's zorv.ini, named outright (the build also refreshes the
# copy beside the binary whenever it changes).
run: build-run
	exec $(RUN_DIR)/src/opt/zorv/zorv -c $(CURDIR)/zorv.ini

clean:
	rm -rf build

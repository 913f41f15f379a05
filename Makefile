# Entry points. Each target does its own set-up on a fresh machine.
#   make test   install dependencies, build, run all tests
#   make demo   install dependencies, build, install, speak a text to out/demo.wav and
#               transcribe test tones (out/demo-tones.wav) with the installed ombrix-transcribe
#   make install  build and install into out/prefix (or PREFIX=dir), relocatable
#   make bench  install dependencies, build the benchmarks (Release, in build-bench), run
#               them and print the table of ratios against their same-run baselines;
#               BENCH_ARGS=--real-size also generates models of the published models' size
#               (about 260 MB, a minute or two) and adds their figures; then
#               ombrix-transcribe on BENCH_LONG_MINUTES (default 30) of tone bursts, the
#               speech-to-text node for an hour (and, with --real-size, for
#               REAL_SIZE_NODE_MINUTES, default 10, on the real-size recogniser), each
#               against one endless stream
#   make bench-build  only configure and build what 'make bench' runs
#   make bench-smoke  build as 'make bench' does and run each benchmark program once, briefly
#               (a check that they run, in seconds; no figures to read)
#   make check-fresh  run 'make test' and 'make demo' from a clean clone inside a minimal
#               Debian 12 root (debootstrap; needs root and network; takes long)
# The dependency set-up runs once: after it succeeded, a stamp in .deps/ records it, and
# it runs again only when scripts/setup-deps.sh changes (or with 'make deps').
# 'make install STRIP=1' installs stripped binaries. Packagers who build with other
# compilers or flags can turn warnings-as-errors off: CMAKE_ARGS=-DOMBRIX_WERROR=OFF.
BUILD_DIR ?= build
JOBS ?= 2
BENCH_DIR ?= build-bench
BENCH_ARGS ?=
CMAKE_ARGS ?=
# Installation prefix of 'make install' and 'make demo' (relocatable: move it anywhere).
PREFIX ?= out/prefix
DEMO_WAV ?= out/demo.wav
DEMO_TEXT ?= Hello from Ombrix. This sentence was spoken by the Sherpa text-to-speech plug-in.
DEMO_VOICE_DIR = $(PREFIX)/share/files/en_GB/vits-piper-en_GB-southern_english_female-low
DEMO_TONES_WAV ?= out/demo-tones.wav
DEMO_RECOGNISER = $(BUILD_DIR)/fixtures/asr
# Minutes of tone bursts for the long-input measurement of 'make bench' (the half hour of
# the output-size figure; about 10 s of wall time).
BENCH_LONG_MINUTES ?= 30
# The recogniser of the published models' size that BENCH_ARGS=--real-size generates, and
# the minutes of the node on it (about 40 s of wall time a minute).
REAL_SIZE_ASR = $(BENCH_DIR)/fixtures-real-size/asr
REAL_SIZE_NODE_MINUTES ?= 10
DEPS_STAMP = .deps/setup-deps.stamp
STRIP ?=
INSTALL_STRIP = $(if $(filter 1 yes on ON true,$(STRIP)),--strip)
CHECK_FRESH_ARGS ?=

.PHONY: all deps configure build test demo bench bench-build bench-smoke install clean format-check check-fresh

all: build

deps:
	./scripts/setup-deps.sh
	@mkdir -p $(dir $(DEPS_STAMP)) && touch $(DEPS_STAMP)

$(DEPS_STAMP): scripts/setup-deps.sh
	./scripts/setup-deps.sh
	@mkdir -p $(dir $(DEPS_STAMP)) && touch $(DEPS_STAMP)

configure: $(DEPS_STAMP)
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX) $(INSTALL_STRIP)

# No real voice can be downloaded everywhere, so the demo installs the synthetic test
# voice, which speaks in test tones; a real voice installed with <prefix>/bin/ombrix-install-voice
# is never replaced by it and is used instead.
demo: install
	cmake --install $(BUILD_DIR) --prefix $(PREFIX) --component test-voices
	@mkdir -p $(dir $(DEMO_WAV))
	$(PREFIX)/bin/ombrix-speak -o $(DEMO_WAV) "$(DEMO_TEXT)"
	@echo
	@if [ -f "$(DEMO_VOICE_DIR)/TEST-VOICE.txt" ]; then \
	  echo "demo: $(DEMO_WAV) holds TEST TONES from the synthetic test voice, not speech."; \
	  echo "demo: to hear speech, install the real English voice (needs internet access):"; \
	  echo "demo:   $(PREFIX)/bin/ombrix-install-voice"; \
	  echo "demo: and run 'make demo' again."; \
	else \
	  echo "demo: $(DEMO_WAV) was spoken with the voice in $(DEMO_VOICE_DIR)."; \
	fi
	@echo
	$(BUILD_DIR)/bin/tone-burst-wav A_B_A_BB_A__B 16000 1 $(DEMO_TONES_WAV)
	$(PREFIX)/bin/ombrix-transcribe --model $(DEMO_RECOGNISER)/model.ort --tokens $(DEMO_RECOGNISER)/tokens.txt \
	  --graph $(DEMO_RECOGNISER)/HLG.fst $(DEMO_TONES_WAV)
	@echo "demo: $(DEMO_TONES_WAV) holds TEST TONES from the test signal generator (tests/support/TestSignals),"
	@echo "demo: not speech: the synthetic test recogniser hears a 1 kHz burst as A and a 4 kHz burst as B,"
	@echo "demo: so the text above is the pattern of the bursts. With a real model installed in"
	@echo "demo: $(PREFIX)/share/files, run $(PREFIX)/bin/ombrix-transcribe FILE.wav on speech."

bench-build: $(DEPS_STAMP)
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_BENCH=ON $(CMAKE_ARGS)
	cmake --build $(BENCH_DIR) -j$(JOBS) --target ombrix_bench ombrix_soak ombrix_transcribe_long ombrix_node_long \
	  $(if $(findstring --real-size,$(BENCH_ARGS)),ombrix_real_size_fixtures)

bench: bench-build
	nice $(BENCH_DIR)/bin/ombrix_bench $(BENCH_ARGS)
	nice $(BENCH_DIR)/bin/ombrix_transcribe_long --minutes $(BENCH_LONG_MINUTES)
	nice $(BENCH_DIR)/bin/ombrix_node_long --minutes 60
	$(if $(findstring --real-size,$(BENCH_ARGS)),nice $(BENCH_DIR)/bin/ombrix_node_long --minutes $(REAL_SIZE_NODE_MINUTES) \
	  --model $(REAL_SIZE_ASR)/ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort \
	  --tokens $(REAL_SIZE_ASR)/tokens.txt --graph $(REAL_SIZE_ASR)/HLG.fst)

# Every benchmark program once, briefly: proves they run, measures nothing (CI runs this).
bench-smoke: bench-build
	$(BENCH_DIR)/bin/ombrix_bench --smoke
	$(BENCH_DIR)/bin/ombrix_transcribe_long --minutes 2
	$(BENCH_DIR)/bin/ombrix_node_long --minutes 2
	$(BENCH_DIR)/bin/ombrix_soak --minutes 5 --reload-seconds 30

check-fresh:
	./scripts/check-fresh.sh $(CHECK_FRESH_ARGS)

format-check:
	./scripts/check-format.sh

clean:
	rm -rf $(BUILD_DIR)

# Front door: `make` builds dist/VuqSetup.exe, `make check` runs the fast checks, `make test`
# every test, `make demo` shows the wrapper at work under Wine. Each first installs what the
# machine lacks for it, and only that.
# VUQ_WINE=host|vm|auto (default auto) says where Wine runs: see lab/wine-run.sh.
# Set-up shows one line per stage, the tools' own output in build/logs/; VERBOSE=1 shows it all.
ARGS ?=
# A release that starts only the payloads it was built for: make PAYLOAD32=FILE PAYLOAD64=FILE.
# Given on every configure, so that a plain `make` afterwards builds the plain wrapper again.
PAYLOAD32 ?=
PAYLOAD64 ?=
PINS := -DVUQ_PAYLOAD32:FILEPATH="$(PAYLOAD32)" -DVUQ_PAYLOAD64:FILEPATH="$(PAYLOAD64)"
PYTHON := /usr/bin/python3
DEPS := sh tools/install-deps.sh
# A build as one line, its output in build/logs/: make test and make demo build this way.
BUILD_STAGE := VUQ_STAGE_TAG=build sh tools/stage.sh
MAKEFLAGS += --no-print-directory
WINE_RUN := sh lab/wine-run.sh dist/VuqSetup.exe build/windows/lab/helpers
# The test VM's image, where Wine must run in it (make test always runs both ways).
VM_IMAGE := sh lab/vm/build-image.sh

.PHONY: all exe native asan windows fuzz-build fuzz check test demo demo-build bench e2e-kit sign attach release clean

all: exe

exe:
	@$(DEPS) build
	@sh tools/pin-payloads.sh "$(PAYLOAD32)" "$(PAYLOAD64)"
	cmake --preset windows $(PINS) >/dev/null
	cmake --build --preset windows --target VuqSetup

native:
	@$(DEPS) unit
	cmake --preset native >/dev/null
	cmake --build --preset native

asan:
	@$(DEPS) unit
	cmake --preset native-asan >/dev/null
	cmake --build --preset native-asan

windows:
	@$(DEPS) build $(if $(REAL),nsis)
	@sh tools/pin-payloads.sh "$(PAYLOAD32)" "$(PAYLOAD64)"
	cmake --preset windows $(PINS) >/dev/null
	cmake --build --preset windows

fuzz-build:
	@$(DEPS) fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

# Runs each fuzzer for FUZZ_SECONDS (default 60) and reports executions and findings.
fuzz:
	@$(DEPS) fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz --target run_fuzzers

# The fast loop, without Wine: the unit tests, plain and under the sanitizers, and the static
# checks (includes point down, clang-format, shellcheck, pyflakes).
check:
	@$(DEPS) unit
	@$(MAKE) native asan
	@sh tools/run-tests.sh native native-asan

# Every suite, even after one failed, then a summary: passed, failed and time of each.
test:
	@$(DEPS) all
	@$(BUILD_STAGE) build "building the exe, the unit tests and the fuzzers" "about 1 min" \
		$(MAKE) native asan windows fuzz-build
	@$(VM_IMAGE)
	@sh tools/run-tests.sh native native-asan fuzz windows

# Under Wine, as a user would run it; extra arguments pass through: make demo ARGS='/S /v'.
# REAL=1: the tests' NSIS installer is the payload instead of the stand-in. PINNED=1 runs a build
# pinned to the demo's payloads, then plants a changed one. PAYLOAD32=FILE PAYLOAD64=FILE: a
# rehearsal of a release, the wrapper pinned to those files and run with them, each run ended
# after LIMIT seconds. The demo builds apart, in build/demo-windows: dist/ is left as it is.
LIMIT ?= 120
DEMO_DIST := build/demo-windows/dist
DEMO_TARGETS = VuqSetup driver regtool fake_payload fake_payload64 $(if $(PINNED),VuqSetupPinned) \
	$(if $(REAL),nsis_payload)
demo:
	@$(DEPS) build $(if $(REAL),nsis)
	@sh tools/pin-payloads.sh "$(PAYLOAD32)" "$(PAYLOAD64)"
	@$(BUILD_STAGE) build-demo "building the demo's wrapper and Wine programs" "under 1 min" \
		$(MAKE) demo-build
	@$(DEPS) wine
	@$(VM_IMAGE) --when-needed
	sh lab/wine-run.sh $(DEMO_DIST)/VuqSetup.exe build/demo-windows/lab/helpers build/demo \
		lab/demo.py --args '$(subst ','\'',$(ARGS))' $(if $(REAL),--real) $(if $(PINNED),--pinned) \
		$(if $(PAYLOAD32),--rehearse --limit "$(LIMIT)")

# The payloads a rehearsal runs lie beside its wrapper, as they are shipped.
demo-build:
	cmake --preset demo $(PINS) >/dev/null
	cmake --build --preset demo --target $(DEMO_TARGETS)
	rm -f $(DEMO_DIST)/*.wzq
	$(if $(PAYLOAD32),cp "$(PAYLOAD32)" $(DEMO_DIST)/VuqSetup.wzq)
	$(if $(PAYLOAD64),cp "$(PAYLOAD64)" $(DEMO_DIST)/VuqSetup64.wzq)

# Under Wine, the wrapper beside a minimal launcher: start-up latency, CPU time while waiting,
# peak memory, and the exe's size; and what a pinned build's check costs for payloads of 1 MiB
# and 100 MiB. The host line tells where the test VM's figures come from.
bench: windows
	@$(DEPS) wine
	@$(VM_IMAGE) --when-needed
	cmake --build --preset windows --target VuqSetupPinned1MiB VuqSetupPinned100MiB
	@echo "Host: Linux $$(uname -r), $$(nproc) CPUs; $$(qemu-system-x86_64 --version 2>/dev/null | head -n 1)"
	$(WINE_RUN) build/bench lab/bench.py

# The end-to-end cases for a real Windows: build/e2e-kit/ holds the runner (e2e_runner.exe), its
# cases, the plain wrapper and every program of the lab (see docs/WINDOWS.md). Built apart, in
# build/e2e-kit-windows: dist/ is left as it is, a pinned build in it too.
E2E_KIT_BUILD := build/e2e-kit-windows
e2e-kit:
	@$(DEPS) build nsis
	cmake --preset windows -B $(E2E_KIT_BUILD) -DVUQ_DIST_DIR:PATH=$(CURDIR)/$(E2E_KIT_BUILD)/dist \
		-DVUQ_PAYLOAD32:FILEPATH= -DVUQ_PAYLOAD64:FILEPATH= >/dev/null
	cmake --build $(E2E_KIT_BUILD)
	cmake --build $(E2E_KIT_BUILD) --target e2e_kit

# Authenticode: make sign SIGN_CERT=chain.pem SIGN_KEY=key.pem, or SIGN_PKCS12=id.p12, or a key
# on a token: SIGN_PKCS11_MODULE=LIBRARY SIGN_KEY='pkcs11:token=...;object=...' SIGN_CERT=chain.pem
# (or the certificate's pkcs11: URI) SIGN_PIN_FILE=FILE; with SIGN_PASSWORD_FILE, SIGN_URL,
# SIGN_TIMESTAMP_URL, SIGN_DIGESTS (sha1,sha256 or sha256) as needed (see docs/SIGNING.md).
# Writes dist/signed/VuqSetup.exe and the detached signature dist/VuqSetup.exe.sig; make attach
# SIGNATURE=VuqSetup.exe.sig rebuilds the signed file from the source and that signature.
export SIGN_CERT SIGN_KEY SIGN_PKCS12 SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_PIN_FILE \
	SIGN_URL SIGN_TIMESTAMP_URL SIGN_DIGESTS
# A PKCS#11 variable given: what signing through a token needs is installed too.
TOKEN = $(SIGN_PKCS11_MODULE)$(SIGN_PIN_FILE)$(filter pkcs11:%,$(SIGN_KEY) $(SIGN_CERT))
sign: exe
	@$(DEPS) sign $(if $(TOKEN),pkcs11)
	@sh tools/sign.sh sign dist/VuqSetup.exe dist/signed/VuqSetup.exe dist/VuqSetup.exe.sig \
		"$(PAYLOAD32)" "$(PAYLOAD64)"

attach: exe
	@$(DEPS) sign
	@sh tools/sign.sh attach "$(SIGNATURE)" dist/VuqSetup.exe dist/signed/VuqSetup.exe \
		"$(PAYLOAD32)" "$(PAYLOAD64)"

# A release in one command: make release PAYLOAD32=FILE PAYLOAD64=FILE [NAME=VuqSetup], signed
# when the variables of make sign are given. Writes dist/release/NAME/ (the pinned wrapper, the
# payloads under their names, SHA256SUMS), its zip, and NAME.sig when signed. With
# SIGNATURE=NAME.sig instead of a key: the published signed release again, byte for byte.
NAME ?= VuqSetup
SIGNATURE ?=
SIGNING = $(SIGN_CERT)$(SIGN_KEY)$(SIGN_PKCS12)$(SIGN_PKCS11_MODULE)
# The wrapper, and its signature, that the release holds: signed now, or rebuilt from SIGNATURE.
SIGNED = $(if $(SIGNING)$(SIGNATURE),dist/signed/VuqSetup.exe \
	"$(or $(SIGNATURE),dist/VuqSetup.exe.sig)",dist/VuqSetup.exe)
BOTH_GIVEN := release: give SIGNATURE or the SIGN_* variables of a key, not both
release:
	@$(if $(and $(SIGNING),$(SIGNATURE)),echo "$(BOTH_GIVEN)" >&2; exit 1)
	@$(DEPS) build release $(if $(SIGNING)$(SIGNATURE),sign) $(if $(TOKEN),pkcs11)
	@$(PYTHON) tools/release.py dist/release "$(NAME)" "$(PAYLOAD32)" "$(PAYLOAD64)"
	@sh tools/pin-payloads.sh "$(PAYLOAD32)" "$(PAYLOAD64)"
	@cmake --preset windows $(PINS) >/dev/null
	@cmake --build --preset windows --target VuqSetup >/dev/null
	@$(if $(SIGNING),sh tools/sign.sh sign dist/VuqSetup.exe dist/signed/VuqSetup.exe \
		dist/VuqSetup.exe.sig "$(PAYLOAD32)" "$(PAYLOAD64)",true)
	@$(if $(SIGNATURE),sh tools/sign.sh attach "$(SIGNATURE)" dist/VuqSetup.exe \
		dist/signed/VuqSetup.exe "$(PAYLOAD32)" "$(PAYLOAD64)",true)
	@$(PYTHON) tools/release.py dist/release "$(NAME)" "$(PAYLOAD32)" "$(PAYLOAD64)" $(SIGNED)

clean:
	rm -rf build dist

# Long-running checks beside scripts/test: fuzzing and the sanitizer builds.
FUZZ_SECONDS ?= 60

.PHONY: fuzz sanitize

fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz

sanitize:
	scripts/sanitize

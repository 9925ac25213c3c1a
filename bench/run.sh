#!/bin/sh
# Runs every benchmark binary of a build folder with its default settings.
#   sh bench/run.sh [BUILD_DIR]      (default build/release)
# Builds nothing: `make bench` builds the Release tree first.  The exit
# status is 1 when any benchmark failed.
BUILD=${1:-build/release}
if [ ! -d "$BUILD/bench" ]; then
  echo "bench/run.sh: no benchmarks in $BUILD/bench (build it first)" >&2
  exit 1
fi
status=0
count=0
for bin in $(find "$BUILD/bench" -path '*/CMakeFiles' -prune -o -type f -perm -u+x -print | sort); do
  count=$((count + 1))
  echo "=== $(basename "$bin")"
  if ! "$bin"; then
    echo "=== $(basename "$bin") FAILED" >&2
    status=1
  fi
  echo
done
if [ "$count" -eq 0 ]; then
  echo "bench/run.sh: no benchmark binaries found under $BUILD/bench" >&2
  exit 1
fi
exit $status

#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer, UBSan) in
# build/fuzz, writes their seed corpora and runs each target for a while.
#
#   FUZZ_SECONDS   seconds per target (default 180)
#   FUZZ_JOBS      targets run at once (default 2)
#   FUZZ_TARGETS   targets to run (default: all five)
#   FUZZ_DIR       build folder (default build/fuzz)
#   FUZZ_BUILD_ONLY=1  build and write the seeds, run nothing
#
# Corpora grow in $FUZZ_DIR/corpus/<target>, findings land in
# $FUZZ_DIR/findings/<target>, logs in $FUZZ_DIR/logs/<target>.log.  Exit
# status 1 when any target found a crash, leak, hang or out-of-memory input.
set -e
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${FUZZ_SECONDS:-180}
JOBS=${FUZZ_JOBS:-2}
TARGETS=${FUZZ_TARGETS:-"mdf_fuzzer container_fuzzer dbc_fuzzer password_fuzzer cli_fuzzer"}
DIR=${FUZZ_DIR:-build/fuzz}

missing=""
for p in clang libclang-rt-14-dev cmake make libexpat1-dev libssl-dev libre2-dev; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends $missing
fi

CC=clang CXX=clang++ cmake -S . -B "$DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLOGRAVEN_FUZZ=ON -DLOGRAVEN_TESTS=OFF -DLOGRAVEN_SANITIZE=OFF
# shellcheck disable=SC2086
cmake --build "$DIR" -j "$JOBS" --target fuzz_seeds $TARGETS

DIR=$(cd "$DIR" && pwd)  # the command-line target runs in a folder of its own
SEEDS="$DIR/seeds"
rm -rf "$SEEDS"
ASAN_OPTIONS=detect_leaks=0 "$DIR/fuzz/fuzz_seeds" "$SEEDS" ../shared/dbc
[ "${FUZZ_BUILD_ONLY:-0}" = 1 ] && exit 0

mkdir -p "$DIR/logs" "$DIR/findings"
run_one() {
  t=$1
  case $t in
    mdf_fuzzer) seeds=mdf ;;
    container_fuzzer) seeds=container ;;
    dbc_fuzzer) seeds=dbc ;;
    password_fuzzer) seeds=password ;;
    cli_fuzzer) seeds=cli ;;
    *) echo "unknown target $t"; return 1 ;;
  esac
  mkdir -p "$DIR/corpus/$t" "$DIR/findings/$t"
  # Standard output is closed: the command-line target prints help texts.
  "$DIR/fuzz/$t" "$DIR/corpus/$t" "$SEEDS/$seeds" \
    -max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=2048 -timeout=10 \
    -max_len=65536 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$DIR/findings/$t/" >"$DIR/logs/$t.log" 2>&1
}

status=0
running=0
pids=""
for t in $TARGETS; do
  run_one "$t" &
  pids="$pids $!"
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then
    for p in $pids; do wait "$p" || status=1; done
    pids=""
    running=0
  fi
done
for p in $pids; do wait "$p" || status=1; done

for t in $TARGETS; do
  line=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$DIR/logs/$t.log" | tail -n 1)
  echo "$t: $line"
done
[ "$status" -eq 0 ] || echo "findings: see $DIR/findings and $DIR/logs"
exit "$status"

#!/bin/sh
# Demo of the main job: writes the example log file with the writer tool,
# converts it with lograven and shows the CSV tree and the first rows of a
# CSV file.  Usage: sh examples/demo.sh [BUILD_DIR]   (default build/release)
set -e
BUILD=${1:-build/release}
EXAMPLES=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$BUILD" && pwd)
LOGRAVEN="$BUILD/lograven"
MKLOG="$BUILD/tools/mklog/mklog"
DEMO="$BUILD/demo"

for tool in "$LOGRAVEN" "$MKLOG"; do
  if [ ! -x "$tool" ]; then
    echo "demo: $tool not found; build it first (make release)" >&2
    exit 1
  fi
done

# A fresh folder: the DBC in the working directory (found by its name,
# can1-*.dbc = CAN channel 1) and a memory card with one log file.
rm -rf "$DEMO"
mkdir -p "$DEMO/card/LOG/1A2B3C4D/00000001"
cp "$EXAMPLES/can1-example.dbc" "$DEMO/"
"$MKLOG" "$EXAMPLES/example.log.txt" "$DEMO/card/LOG/1A2B3C4D/00000001/00000001.MF4"

echo "== lograven --version"
"$LOGRAVEN" --version
echo
echo "== cd $DEMO && lograven card/"
cd "$DEMO"
"$LOGRAVEN" card/
echo
# The output goes to the root of the inputs (here the demo folder), under
# <serial>_out/.
echo "== files in $DEMO (find . -type f | sort)"
find . -type f | sort
echo
CSV=$(find . -path '*CAN1_EngineData/*' -name '*.csv' | sort | head -n 1)
echo "== first rows of $CSV"
head -n 6 "$CSV"
echo
CSV=$(find . -path '*CAN1_BatteryStatus_Page_M01/*' -name '*.csv' | sort | head -n 1)
echo "== $CSV (multiplexed message, page 1)"
cat "$CSV"

#!/bin/sh
# Runs lograven from a Release build directory on the shipped example.
set -e
BUILD=${1:-build/release}
LOGRAVEN="$BUILD/lograven"
echo "== lograven --version"
"$LOGRAVEN" --version
echo
echo "== lograven --help"
"$LOGRAVEN" --help

#!/bin/sh
# Installs, only when missing, the Debian packages that building, testing and
# the demo need.  Runs apt-get as root (directly, or through sudo).
set -e
PKGS="cmake make g++ git libexpat1-dev zlib1g-dev libssl-dev libre2-dev libgtest-dev nlohmann-json3-dev parallel"
missing=""
for p in $PKGS; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends $missing

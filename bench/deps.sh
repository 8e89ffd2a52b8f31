#!/usr/bin/env bash
# Debian packages that bench/run.sh needs beyond the build's own (scripts/deps.sh): gnuplot for the plot,
# GNU time for peak RSS, python3 for the report. Kept apart so that the test suite never depends on them.
# Installs what is missing when run as root; otherwise names it and fails.
set -euo pipefail
packages=(gnuplot-nox time python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "bench: missing Debian packages: ${missing[*]} (sudo apt-get install -y ${missing[*]})" >&2
  exit 1
fi
echo "bench: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

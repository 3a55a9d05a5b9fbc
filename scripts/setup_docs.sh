#!/usr/bin/env bash
# Installs Doxygen for `make docs` when it is missing. Kept apart from
# setup.sh: the reference is not part of the test run.
set -euo pipefail
dpkg-query -W -f='${Status}' doxygen 2>/dev/null | grep -q "install ok installed" && exit 0
echo "setup_docs: installing doxygen"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends doxygen

#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing, and any
# further packages named as arguments (for example the fuzzers' clang).
set -euo pipefail

missing=()
for package in "$@"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/xxhash.h ] || missing+=(libxxhash-dev)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
python3 -c 'import venv, ensurepip' 2>/dev/null || missing+=(python3-venv)
python3 - <<'PY' 2>/dev/null || missing+=(python3-dev)
import os, sysconfig
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY

[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing Debian packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"

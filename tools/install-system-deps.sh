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

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

# Spark runs on Java 17 or later. Only its tests need it, and they are skipped
# without it, so a failed install is reported instead of stopping the build.
java_major() { java -version 2>&1 | sed -n 's/.*version "\([0-9]*\).*/\1/p' | head -n 1; }
if ! command -v java >/dev/null || [ "$(java_major)" -lt 17 ] 2>/dev/null; then
  echo "Installing Debian packages: openjdk-17-jre-headless"
  { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq openjdk-17-jre-headless; } ||
    echo "note: Java 17 could not be installed; the Spark tests will be skipped"
fi

#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian 12 machine, and nothing that is
# already there: Debian packages through apt, sherpa-onnx through the machine's own npm
# into .deps/ (ignored by git). ORT-format models are written by the build's own
# ombrix-convert-model on sherpa-onnx's onnxruntime, so nothing else is fetched.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
deps="$here/.deps"

apt_packages=(
  build-essential cmake pkg-config ca-certificates bzip2 curl
  libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  libsoxr-dev libsndfile1-dev
  python3-onnx python3-numpy libfst-tools libfst-dev espeak-ng-data
  clang-14 libclang-rt-14-dev clang-format
  help2man groff-base man-db
)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# npm fetches the sherpa-onnx package below (Node.js is needed for nothing else). Decided by command,
# not by package: a Node.js already on PATH (nodesource, nvm, a tarball) is used as it is
# and never replaced. Only a missing command brings in Debian's nodejs/npm; Debian's npm
# cannot be installed next to another Node.js build, so that case stops with advice.
if ! command -v node >/dev/null; then
  missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
elif ! command -v npm >/dev/null; then
  # Debian's own nodejs without npm: npm fits (a dry run installs it without removing
  # anything). Any other Node.js build makes that dry run fail or remove it.
  if apt-get -s -q install npm 2>/dev/null | grep -q '^Inst npm ' \
      && ! apt-get -s -q install npm 2>/dev/null | grep -q '^Remv '; then
    missing+=(npm)
  else
    echo "setup: node is on PATH ($(command -v node), $(node --version 2>/dev/null)) but npm is not," >&2
    echo "setup: and Debian's npm does not fit this Node.js. Install the npm that belongs to it" >&2
    echo "setup: (or remove that Node.js and run this script again to get Debian's nodejs and npm)." >&2
    exit 1
  fi
fi

if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null; then
    as_root=(sudo)
  else
    echo "setup: these Debian packages are missing and this is not root, nor is sudo available:" >&2
    echo "setup:   ${missing[*]}" >&2
    echo "setup: install them as root, then run this script again:" >&2
    echo "setup:   apt-get install ${missing[*]}" >&2
    exit 1
  fi
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

command -v node >/dev/null && command -v npm >/dev/null \
  || { echo "setup: node and npm are still not on PATH after installing Debian's nodejs and npm" >&2; exit 1; }

# sherpa-onnx prebuilt C library, pinned and checked before unpacking.
sherpa_version=1.13.4
sherpa_sha1=a046427501d628d22680ea2d013d5fccbcdc467d
sherpa_dir="$deps/sherpa-onnx-linux-x64-$sherpa_version"
if [ ! -f "$sherpa_dir/libsherpa-onnx-c-api.so" ]; then
  mkdir -p "$deps/download"
  tarball="$deps/download/sherpa-onnx-linux-x64-$sherpa_version.tgz"
  if [ ! -f "$tarball" ]; then
    echo "setup: fetching sherpa-onnx-linux-x64@$sherpa_version"
    (cd "$deps/download" && npm pack --loglevel=error "sherpa-onnx-linux-x64@$sherpa_version" >/dev/null) \
      || { echo "setup: npm could not fetch sherpa-onnx-linux-x64@$sherpa_version (see above)" >&2; exit 1; }
  fi
  echo "$sherpa_sha1  $tarball" | sha1sum -c --quiet - || { echo "setup: checksum mismatch for $tarball" >&2; rm -f "$tarball"; exit 1; }
  rm -rf "$sherpa_dir.tmp" && mkdir -p "$sherpa_dir.tmp"
  tar -xzf "$tarball" -C "$sherpa_dir.tmp"
  rm -rf "$sherpa_dir" && mv "$sherpa_dir.tmp/package" "$sherpa_dir" && rm -rf "$sherpa_dir.tmp"
fi

echo "setup: dependencies ready in $deps"

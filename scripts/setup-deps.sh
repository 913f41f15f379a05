#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian 12 machine, and nothing that is
# already there: Debian packages through apt, sherpa-onnx and the ORT converter
# through the machine's own npm into .deps/ (ignored by git).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
deps="$here/.deps"

apt_packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  libsoxr-dev
  python3-onnx python3-numpy libfst-tools libfst-dev espeak-ng-data
  clang-14 libclang-rt-14-dev clang-format
)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${missing[@]}"
fi

command -v npm >/dev/null || { echo "setup: npm is required (the machine's Node.js)" >&2; exit 1; }

# sherpa-onnx prebuilt C library, pinned and checked before unpacking.
sherpa_version=1.13.4
sherpa_sha1=a046427501d628d22680ea2d013d5fccbcdc467d
sherpa_dir="$deps/sherpa-onnx-linux-x64-$sherpa_version"
if [ ! -f "$sherpa_dir/libsherpa-onnx-c-api.so" ]; then
  mkdir -p "$deps/download"
  tarball="$deps/download/sherpa-onnx-linux-x64-$sherpa_version.tgz"
  if [ ! -f "$tarball" ]; then
    echo "setup: fetching sherpa-onnx-linux-x64@$sherpa_version"
    (cd "$deps/download" && npm pack --silent "sherpa-onnx-linux-x64@$sherpa_version" >/dev/null)
  fi
  echo "$sherpa_sha1  $tarball" | sha1sum -c --quiet - || { echo "setup: checksum mismatch for $tarball" >&2; rm -f "$tarball"; exit 1; }
  rm -rf "$sherpa_dir.tmp" && mkdir -p "$sherpa_dir.tmp"
  tar -xzf "$tarball" -C "$sherpa_dir.tmp"
  rm -rf "$sherpa_dir" && mv "$sherpa_dir.tmp/package" "$sherpa_dir" && rm -rf "$sherpa_dir.tmp"
fi

# onnxruntime-node, only used to convert test models to ORT format.
ort_dir="$deps/onnxruntime-node"
if [ ! -f "$ort_dir/node_modules/onnxruntime-node/package.json" ]; then
  echo "setup: fetching onnxruntime-node@1.27.0 (converter for ORT-format models)"
  mkdir -p "$ort_dir"
  (cd "$ort_dir" && npm install --silent --ignore-scripts --no-save --no-audit --no-fund \
      --prefix "$ort_dir" onnxruntime-node@1.27.0 >/dev/null)
fi
echo "setup: dependencies ready in $deps"

#!/usr/bin/env bash
# Installs the default English voice (piper "en_GB southern_english_female low", as
# packaged by sherpa-onnx) into an installation prefix, where libOmbrixSherpa finds it:
#
#   <prefix>/share/files/en_GB/vits-piper-en_GB-southern_english_female-low/
#       en_GB-southern_english_female-low.with_runtime_opt.ort   (ORT format)
#       tokens.txt
#       espeak-ng-data/
#       VOICE-SOURCE.txt                                          (where it came from)
#
# The archive is downloaded (or taken from --archive), unpacked, and its ONNX model is
# converted to ORT format with the converter the test models use (convert_to_ort.js with
# onnxruntime-node 1.27.0, the onnxruntime of sherpa-onnx 1.13.4).
# Nothing in the prefix changes unless every step succeeded.
#
# It runs from the source tree (scripts/install-voice.sh: converter in tests/fixtures/,
# onnxruntime-node in .deps/ from scripts/setup-deps.sh) and installed with the programs
# (<prefix>/bin/ombrix-install-voice: converter in <prefix>/share/ombrix-sherpa/, the
# installation itself as the default prefix; onnxruntime-node from --onnxruntime-node,
# $OMBRIX_ONNXRUNTIME_NODE or node's own module search).
set -euo pipefail

program=$(basename "$0")
here=$(cd "$(dirname "$0")/.." && pwd)
voice_name=vits-piper-en_GB-southern_english_female-low
model_stem=en_GB-southern_english_female-low
language_dir=en_GB
default_url="https://github.com/k2-fsa/sherpa-onnx/releases/download/tts-models/${voice_name}.tar.bz2"

ort_node_version=1.27.0
# The project's version (CMake refuses to configure when it differs from project()).
version=0.1.0
if [ -f "$here/lib/libOmbrixSherpa.so" ] && [ ! -f "$here/CMakeCache.txt" ]; then
  prefix="$here"                               # installed: this installation
  converter="$here/share/ombrix-sherpa/convert_to_ort.js"
else
  prefix="$here/out/prefix"                    # source tree: where 'make install' installs
  converter="$here/tests/fixtures/convert_to_ort.js"
  [ -f "$converter" ] || converter="$here/share/ombrix-sherpa/convert_to_ort.js"
fi
ort_node_dir="${OMBRIX_ONNXRUNTIME_NODE:-}"
archive=""
url="$default_url"

usage() {
  cat <<EOF
Usage: $program [--prefix DIR] [--archive FILE | --url URL] [--onnxruntime-node DIR]

Installs the default English voice into DIR/share/files/$language_dir/$voice_name/.

  --prefix DIR     installation prefix (default: $prefix)
  --archive FILE   use this local copy of $voice_name.tar.bz2
                   instead of downloading it
  --url URL        download from URL (default: $default_url)
  --onnxruntime-node DIR
                   the onnxruntime-node $ort_node_version package directory the model
                   converter runs with (default: \$OMBRIX_ONNXRUNTIME_NODE, the source
                   tree's .deps/, or wherever node finds 'onnxruntime-node')
  --version        print the version
  -h, --help       this text

Needs tar, bzip2, node (Node.js 18 or later) and onnxruntime-node $ort_node_version
(npm install --prefix DIR onnxruntime-node@$ort_node_version gives
DIR/node_modules/onnxruntime-node).

The German default voice (share/files/de_DE/vits-piper-de_DE-quorvane-low/ with
de_DE-quorvane-low.with_runtime_opt.ort, tokens.txt and espeak-ng-data/) is not a
published voice; supply your own German piper voice under those names.

Exit status: 0 installed; 2 usage error; 4 a prerequisite or the archive is missing or
unusable; 5 the download, the conversion or writing the voice failed.
EOF
}

# Exit statuses as the other programs of the installation use them.
usage_error() {
  echo "install-voice: $*" >&2
  echo "Try '$program --help'." >&2
  exit 2
}
fail_input() {
  echo "install-voice: $*" >&2
  exit 4
}
fail() {
  echo "install-voice: $*" >&2
  exit 5
}

while (($#)); do
  case "$1" in
    --prefix) [ $# -ge 2 ] || usage_error "--prefix needs a directory"; prefix="$2"; shift 2 ;;
    --prefix=*) prefix="${1#*=}"; shift ;;
    --archive) [ $# -ge 2 ] || usage_error "--archive needs a file"; archive="$2"; shift 2 ;;
    --archive=*) archive="${1#*=}"; shift ;;
    --url) [ $# -ge 2 ] || usage_error "--url needs a URL"; url="$2"; shift 2 ;;
    --url=*) url="${1#*=}"; shift ;;
    --onnxruntime-node) [ $# -ge 2 ] || usage_error "--onnxruntime-node needs a directory"; ort_node_dir="$2"; shift 2 ;;
    --onnxruntime-node=*) ort_node_dir="${1#*=}"; shift ;;
    -h|--help) usage; exit 0 ;;
    --version) echo "$program $version"; exit 0 ;;
    *) usage_error "unknown argument: $1" ;;
  esac
done

[ -n "$prefix" ] || usage_error "--prefix is empty"
mkdir -p "$prefix" || fail "cannot create the prefix $prefix"
prefix=$(cd "$prefix" && pwd)
if [ -f "$prefix/CMakeCache.txt" ]; then
  usage_error "$prefix is a build tree: its share/files holds the synthetic test voices the tests rely on. Install into an installation prefix (see 'make install')."
fi

command -v tar >/dev/null || fail_input "tar is required"
command -v bzip2 >/dev/null || fail_input "bzip2 is required (apt-get install bzip2)"
command -v node >/dev/null || fail_input "node is required to convert the model (apt-get install nodejs)"
[ -f "$converter" ] || fail_input "the model converter $converter is missing"
if [ -z "$ort_node_dir" ]; then
  if [ -f "$here/.deps/onnxruntime-node/node_modules/onnxruntime-node/package.json" ]; then
    ort_node_dir="$here/.deps/onnxruntime-node/node_modules/onnxruntime-node"
  elif found=$(cd "${TMPDIR:-/tmp}" && node -e 'console.log(require("path").dirname(require.resolve("onnxruntime-node/package.json")))' 2>/dev/null); then
    ort_node_dir="$found"
  fi
fi
[ -n "$ort_node_dir" ] && [ -f "$ort_node_dir/package.json" ] || fail_input "the model converter needs onnxruntime-node $ort_node_version, which was not found${ort_node_dir:+ in $ort_node_dir}.
Install it with
  npm install --prefix DIR onnxruntime-node@$ort_node_version
and pass --onnxruntime-node DIR/node_modules/onnxruntime-node (or set OMBRIX_ONNXRUNTIME_NODE).
From a source tree, scripts/setup-deps.sh installs it into .deps/."

work=$(mktemp -d "${TMPDIR:-/tmp}/install-voice.XXXXXX")
staging=""
cleanup() {
  rm -rf "$work"
  if [ -n "$staging" ]; then rm -rf "$staging"; fi
}
trap cleanup EXIT

if [ -n "$archive" ]; then
  [ -f "$archive" ] || fail_input "the archive $archive does not exist"
  archive=$(cd "$(dirname "$archive")" && pwd)/$(basename "$archive")
  source_description="archive $archive"
else
  archive="$work/$voice_name.tar.bz2"
  echo "install-voice: downloading $url"
  if command -v curl >/dev/null; then
    download() { curl -fL --silent --show-error --connect-timeout 20 --retry 2 -o "$archive" "$url" 2>&1; }
  elif command -v wget >/dev/null; then
    download() { wget -q --timeout=20 --tries=2 -O "$archive" "$url" 2>&1; }
  else
    fail_input "neither curl nor wget is installed; download $url yourself and pass it with --archive"
  fi
  if ! reason=$(download | tail -n 1); then
    fail "cannot download $url${reason:+ ($reason)}.
This machine may have no internet access. Download the archive on a machine that has,
copy it here, and run:
  $program --archive $voice_name.tar.bz2 --prefix $prefix"
  fi
  source_description="$url"
fi

echo "install-voice: unpacking $(basename "$archive")"
mkdir -p "$work/unpacked"
tar -xjf "$archive" -C "$work/unpacked" || fail_input "$archive is not a bzip2-compressed tar archive"
voice_source="$work/unpacked/$voice_name"
[ -d "$voice_source" ] || fail_input "the archive has no directory $voice_name/"
model_source="$voice_source/$model_stem.onnx"
[ -f "$model_source" ] || fail_input "the archive has no model $voice_name/$model_stem.onnx"
[ -f "$voice_source/tokens.txt" ] || fail_input "the archive has no $voice_name/tokens.txt"
for f in phontab phonindex phondata intonations; do
  [ -f "$voice_source/espeak-ng-data/$f" ] || fail_input "the archive has no $voice_name/espeak-ng-data/$f"
done
# sherpa-onnx ends the whole process on a tokens file with CR line ends or blank lines,
# so such a file never gets installed.
if grep -q $'\r' "$voice_source/tokens.txt"; then
  fail_input "$voice_name/tokens.txt has CR line ends"
fi
if grep -qn '^$' "$voice_source/tokens.txt"; then
  fail_input "$voice_name/tokens.txt has a blank line"
fi

destination="$prefix/share/files/$language_dir/$voice_name"
mkdir -p "$(dirname "$destination")" || fail "cannot create $(dirname "$destination")"
staging=$(mktemp -d "$(dirname "$destination")/.$voice_name.XXXXXX")

echo "install-voice: converting $model_stem.onnx to ORT format"
node "$converter" "$ort_node_dir" "$model_source" "$staging/$model_stem.with_runtime_opt.ort" \
  || fail "converting $model_stem.onnx to ORT format failed"
cp "$voice_source/tokens.txt" "$staging/tokens.txt"
cp -R "$voice_source/espeak-ng-data" "$staging/espeak-ng-data"
{
  echo "voice: $voice_name"
  echo "source: $source_description"
  echo "sha256: $(sha256sum "$archive" | cut -d' ' -f1)"
  echo "installed: $(date -u +%Y-%m-%dT%H:%M:%SZ) by $program"
} > "$staging/VOICE-SOURCE.txt"
chmod 755 "$staging"

# Swap the finished directory in; an earlier voice (a test voice, say) goes only now.
if [ -e "$destination" ]; then
  previous="$destination.previous.$$"
  mv "$destination" "$previous"
  mv "$staging" "$destination"
  rm -rf "$previous"
else
  mv "$staging" "$destination"
fi
staging=""

echo "install-voice: installed the English voice in $destination"
if [ -x "$prefix/bin/ombrix-speak" ]; then
  echo "install-voice: try it with: $prefix/bin/ombrix-speak -o hello.wav \"Hello there.\""
fi

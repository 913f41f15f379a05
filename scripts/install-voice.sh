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
# converted to ORT format by the installation's own converter, lib/ombrix-convert-model,
# on the onnxruntime the installation ships (so the ORT file matches the runtime that
# loads it). Nothing in the prefix changes unless every step succeeded.
#
# It runs from the source tree (scripts/install-voice.sh), from a build tree (bin/) and
# installed with the programs (<prefix>/bin/ombrix-install-voice, the installation itself
# as the default prefix). The converter is --converter, $OMBRIX_CONVERT_MODEL, the one in
# lib/ beside this script's bin/, or the one of the prefix installed into.
set -euo pipefail

program=$(basename "$0")
here=$(cd "$(dirname "$0")/.." && pwd)
voice_name=vits-piper-en_GB-southern_english_female-low
model_stem=en_GB-southern_english_female-low
language_dir=en_GB
default_url="https://github.com/k2-fsa/sherpa-onnx/releases/download/tts-models/${voice_name}.tar.bz2"

if [ -f "$here/lib/libOmbrixSherpa.so" ] && [ ! -f "$here/CMakeCache.txt" ]; then
  prefix="$here"                               # installed: this installation
else
  prefix="$here/out/prefix"                    # source tree: where 'make install' installs
fi
converter="${OMBRIX_CONVERT_MODEL:-}"
archive=""
url="$default_url"

usage() {
  cat <<EOF
Usage: $program [--prefix DIR] [--archive FILE | --url URL] [--converter PROGRAM]

Installs the default English voice into DIR/share/files/$language_dir/$voice_name/.

  --prefix DIR     installation prefix (default: $prefix)
  --archive FILE   use this local copy of $voice_name.tar.bz2
                   instead of downloading it
  --url URL        download from URL (default: $default_url)
  --converter PROGRAM
                   the ONNX-to-ORT converter (default: \$OMBRIX_CONVERT_MODEL, else
                   lib/ombrix-convert-model of this installation or of the prefix)
  -h, --help       this text

Needs tar and bzip2.

The German default voice (share/files/de_DE/vits-piper-de_DE-quorvane-low/ with
de_DE-quorvane-low.with_runtime_opt.ort, tokens.txt and espeak-ng-data/) is not a
published voice; supply your own German piper voice under those names.
EOF
}

fail() {
  echo "install-voice: $*" >&2
  exit 1
}

while (($#)); do
  case "$1" in
    --prefix) [ $# -ge 2 ] || fail "--prefix needs a directory"; prefix="$2"; shift 2 ;;
    --prefix=*) prefix="${1#*=}"; shift ;;
    --archive) [ $# -ge 2 ] || fail "--archive needs a file"; archive="$2"; shift 2 ;;
    --archive=*) archive="${1#*=}"; shift ;;
    --url) [ $# -ge 2 ] || fail "--url needs a URL"; url="$2"; shift 2 ;;
    --url=*) url="${1#*=}"; shift ;;
    --converter) [ $# -ge 2 ] || fail "--converter needs a program"; converter="$2"; shift 2 ;;
    --converter=*) converter="${1#*=}"; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; fail "unknown argument: $1" ;;
  esac
done

[ -n "$prefix" ] || fail "--prefix is empty"
mkdir -p "$prefix" || fail "cannot create the prefix $prefix"
prefix=$(cd "$prefix" && pwd)
if [ -f "$prefix/CMakeCache.txt" ]; then
  fail "$prefix is a build tree: its share/files holds the synthetic test voices the tests rely on. Install into an installation prefix (see 'make install')."
fi

command -v tar >/dev/null || fail "tar is required"
command -v bzip2 >/dev/null || fail "bzip2 is required (apt-get install bzip2)"
if [ -z "$converter" ]; then
  for candidate in "$here/lib/ombrix-convert-model" "$prefix/lib/ombrix-convert-model"; do
    if [ -x "$candidate" ]; then converter="$candidate"; break; fi
  done
fi
[ -n "$converter" ] && [ -x "$converter" ] || fail "the model converter ombrix-convert-model was not found${converter:+ at $converter}.
It is installed in <prefix>/lib/ with the programs ('cmake --install'); pass it with --converter."

work=$(mktemp -d "${TMPDIR:-/tmp}/install-voice.XXXXXX")
staging=""
cleanup() {
  rm -rf "$work"
  if [ -n "$staging" ]; then rm -rf "$staging"; fi
}
trap cleanup EXIT

if [ -n "$archive" ]; then
  [ -f "$archive" ] || fail "the archive $archive does not exist"
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
    fail "neither curl nor wget is installed; download $url yourself and pass it with --archive"
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
tar -xjf "$archive" -C "$work/unpacked" || fail "$archive is not a bzip2-compressed tar archive"
voice_source="$work/unpacked/$voice_name"
[ -d "$voice_source" ] || fail "the archive has no directory $voice_name/"
model_source="$voice_source/$model_stem.onnx"
[ -f "$model_source" ] || fail "the archive has no model $voice_name/$model_stem.onnx"
[ -f "$voice_source/tokens.txt" ] || fail "the archive has no $voice_name/tokens.txt"
for f in phontab phonindex phondata intonations; do
  [ -f "$voice_source/espeak-ng-data/$f" ] || fail "the archive has no $voice_name/espeak-ng-data/$f"
done
# sherpa-onnx ends the whole process on a tokens file with CR line ends or blank lines,
# so such a file never gets installed.
if grep -q $'\r' "$voice_source/tokens.txt"; then
  fail "$voice_name/tokens.txt has CR line ends"
fi
if grep -qn '^$' "$voice_source/tokens.txt"; then
  fail "$voice_name/tokens.txt has a blank line"
fi

destination="$prefix/share/files/$language_dir/$voice_name"
mkdir -p "$(dirname "$destination")" || fail "cannot create $(dirname "$destination")"
staging=$(mktemp -d "$(dirname "$destination")/.$voice_name.XXXXXX")

echo "install-voice: converting $model_stem.onnx to ORT format"
env -u LD_LIBRARY_PATH "$converter" "$model_source" "$staging/$model_stem.with_runtime_opt.ort" \
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

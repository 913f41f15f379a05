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
# lib/ beside this script's bin/, or the one of the prefix installed into; the model
# checker (lib/ombrix-sherpa-check) is found the same way (--checker).
#
# Before a voice is moved into place, the checker loads it with the real library and
# speaks with it, and stores its verdict in the installation's verdict store
# (<prefix>/var/lib/ombrix-sherpa/verdicts, docs/voices.md), so that the first
# application to load the voice need not check it again.
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
# The project's version (CMake refuses to configure when it differs from project()).
version=0.1.0
converter="${OMBRIX_CONVERT_MODEL:-}"
checker=""
archive=""
url="$default_url"
as_default=0
list_only=0

usage() {
  cat <<EOF
Usage: $program [--prefix DIR] [--archive FILE | --url URL] [--converter PROG] [--checker PROG] [--as-default]
  or:  $program [--prefix DIR] --list

Installs a published piper voice of the sherpa-onnx releases (an archive
vits-piper-<lang>_<REGION>-<name>-<quality>.tar.bz2) into
DIR/share/files/voices/<archive name>/ and its phoneme data into the shared
DIR/share/files/espeak-ng-data/ (docs/voices.md). Without --archive it downloads the
default English voice, which also goes to DIR/share/files/$language_dir/$voice_name/.

  --as-default     also install the voice under the default voice's names of its
                   language (en: the English default voice, de: the German one),
                   replacing the voice there
  --list           list the installed voices (name, language, sample rate, speakers)

  --prefix DIR     installation prefix (default: the installation this program
                   belongs to; run from the source tree, its out/prefix)
  --archive FILE   install this local archive instead of downloading
                   $voice_name.tar.bz2
  --url URL        download from URL (default: $default_url)
  --converter PROG  the ONNX-to-ORT converter (default: \$OMBRIX_CONVERT_MODEL, else
                    lib/ombrix-convert-model of this installation or of the prefix)
  --checker PROG    the model checker (default: lib/ombrix-sherpa-check of this
                    installation or of the prefix); it checks the voice before it is
                    installed and stores its verdict in DIR/var/lib/ombrix-sherpa/verdicts
  --version        print the version
  -h, --help       this text

Needs tar and bzip2.

The German default voice (share/files/de_DE/vits-piper-de_DE-quorvane-low/ with
de_DE-quorvane-low.with_runtime_opt.ort, tokens.txt and espeak-ng-data/) is not a
published voice; install a German piper voice there with --as-default.

Exit status: 0 installed; 2 usage error; 4 a prerequisite or the archive is missing or
unusable; 5 the download, the conversion, the check or writing the voice failed.
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
    --converter) [ $# -ge 2 ] || usage_error "--converter needs a program"; converter="$2"; shift 2 ;;
    --converter=*) converter="${1#*=}"; shift ;;
    --checker) [ $# -ge 2 ] || usage_error "--checker needs a program"; checker="$2"; shift 2 ;;
    --checker=*) checker="${1#*=}"; shift ;;
    --as-default) as_default=1; shift ;;
    --list) list_only=1; shift ;;
    -h|--help) usage; exit 0 ;;
    --version) echo "$program $version"; exit 0 ;;
    *) usage_error "unknown argument: $1" ;;
  esac
done

[ -n "$prefix" ] || usage_error "--prefix is empty"
mkdir -p "$prefix" || fail "cannot create the prefix $prefix"
prefix=$(cd "$prefix" && pwd)
voices_root="$prefix/share/files/voices"
if ((list_only)); then
  found_any=0
  for manifest in "$voices_root"/*/voice.json; do
    [ -f "$manifest" ] || continue
    found_any=1
    field() { sed -n "s/^  \"$1\": \"\{0,1\}\([^\",]*\)\"\{0,1\},\{0,1\}$/\1/p" "$manifest" | head -n 1; }
    printf '%s\t%s\t%s Hz\t%s speaker(s)\n' "$(field name)" "$(field language)" "$(field sample_rate)" "$(field speakers)"
  done
  ((found_any)) || echo "install-voice: no voices installed in $voices_root" >&2
  exit 0
fi
if [ -f "$prefix/CMakeCache.txt" ]; then
  usage_error "$prefix is a build tree: its share/files holds the synthetic test voices the tests rely on. Install into an installation prefix (see 'make install')."
fi

command -v tar >/dev/null || fail_input "tar is required"
command -v bzip2 >/dev/null || fail_input "bzip2 is required (apt-get install bzip2)"
if [ -z "$converter" ]; then
  for candidate in "$here/lib/ombrix-convert-model" "$prefix/lib/ombrix-convert-model"; do
    if [ -x "$candidate" ]; then converter="$candidate"; break; fi
  done
fi
[ -n "$converter" ] && [ -x "$converter" ] || fail_input "the model converter ombrix-convert-model was not found${converter:+ at $converter}.
It is installed in <prefix>/lib/ with the programs ('cmake --install'); pass it with --converter."
if [ -z "$checker" ]; then
  for candidate in "$here/lib/ombrix-sherpa-check" "$prefix/lib/ombrix-sherpa-check"; do
    if [ -x "$candidate" ]; then checker="$candidate"; break; fi
  done
fi
[ -n "$checker" ] && [ -x "$checker" ] || fail_input "the model checker ombrix-sherpa-check was not found${checker:+ at $checker}.
It is installed in <prefix>/lib/ with the programs ('cmake --install'); pass it with --checker."

work=$(mktemp -d "${TMPDIR:-/tmp}/install-voice.XXXXXX")
staging=""
cleanup() {
  rm -rf "$work"
  if [ -n "$staging" ]; then rm -rf "$staging"; fi
  if [ -n "${default_staging:-}" ]; then rm -rf "$default_staging"; fi
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
shopt -s nullglob
tops=("$work"/unpacked/*/)
shopt -u nullglob
[ ${#tops[@]} -eq 1 ] || fail_input "the archive must hold one directory vits-piper-<lang>_<REGION>-<name>-<quality>/"
voice_name=$(basename "${tops[0]}")
piper_pattern='^vits-piper-([a-z]{2,3})_([A-Z]{2})-([A-Za-z0-9_]+)-(x_low|low|medium|high)$'
[[ "$voice_name" =~ $piper_pattern ]] || fail_input "$voice_name is not a voice this installer supports: it installs the piper voices of the sherpa-onnx releases, archives vits-piper-<lang>_<REGION>-<name>-<quality>.tar.bz2 (for example vits-piper-en_US-amy-low.tar.bz2)"
language="${BASH_REMATCH[1]}_${BASH_REMATCH[2]}"
language_code="${BASH_REMATCH[1]}"
model_stem="${voice_name#vits-piper-}"
voice_source="$work/unpacked/$voice_name"
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

# Where it goes: its own directory in voices/, and a default place when asked for (or
# when it is the default English voice, which always had its place).
default_dir=""
default_stem=""
if ((as_default)) || [ "$voice_name" = vits-piper-en_GB-southern_english_female-low ]; then
  case "$language_code" in
    en) default_dir="$prefix/share/files/en_GB/vits-piper-en_GB-southern_english_female-low"
        default_stem=en_GB-southern_english_female-low ;;
    de) default_dir="$prefix/share/files/de_DE/vits-piper-de_DE-quorvane-low"
        default_stem=de_DE-quorvane-low ;;
    *) fail_input "--as-default: only English and German have a default voice; $voice_name is $language" ;;
  esac
fi

# The published archives describe the voice in <stem>.onnx.json (piper's own file); the
# manifest says null where an archive has none.
json_number() {
  if [ -f "$model_source.json" ]; then
    sed -n "s/.*\"$1\": *\([0-9][0-9]*\).*/\1/p" "$model_source.json" | head -n 1
  fi
}
sample_rate=$(json_number sample_rate)
speakers=$(json_number num_speakers)
[ -n "$sample_rate" ] || sample_rate=null
[ -n "$speakers" ] || speakers=null
licence=""
for card in "$voice_source"/MODEL_CARD*; do
  [ -f "$card" ] || continue
  licence=$(sed -n 's/^[*# -]*[Ll]icen[cs]e[*]* *: *\(.*\)$/\1/p' "$card" | head -n 1 | tr -d '\r"\\')
done
[ -n "$licence" ] || licence=unknown

mkdir -p "$voices_root" || fail "cannot create $voices_root"
destination="$voices_root/$voice_name"
staging=$(mktemp -d "$voices_root/.$voice_name.XXXXXX")

echo "install-voice: converting $model_stem.onnx to ORT format"
env -u LD_LIBRARY_PATH "$converter" "$model_source" "$staging/$model_stem.with_runtime_opt.ort" \
  || fail "converting $model_stem.onnx to ORT format failed"
cp "$voice_source/tokens.txt" "$staging/tokens.txt"
if [ -f "$model_source.json" ]; then cp "$model_source.json" "$staging/"; fi
for extra in "$voice_source"/MODEL_CARD* "$voice_source"/LICEN[CS]E* "$voice_source"/COPYING* "$voice_source"/README*; do
  if [ -f "$extra" ]; then cp "$extra" "$staging/"; fi
done
sha256=$(sha256sum "$archive" | cut -d' ' -f1)
{
  echo "voice: $voice_name"
  echo "source: $source_description"
  echo "sha256: $sha256"
  echo "installed: $(date -u +%Y-%m-%dT%H:%M:%SZ) by $program"
} > "$staging/VOICE-SOURCE.txt"
json_string() { printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g'; }
size=$(du -sb "$staging" | cut -f1)
{
  echo "{"
  echo "  \"name\": \"$voice_name\","
  echo "  \"language\": \"$language\","
  echo "  \"sample_rate\": $sample_rate,"
  echo "  \"speakers\": $speakers,"
  echo "  \"size\": $size,"
  echo "  \"model\": \"$model_stem.with_runtime_opt.ort\","
  echo "  \"tokens\": \"tokens.txt\","
  echo "  \"data_dir\": \"../../espeak-ng-data\","
  echo "  \"licence\": \"$(json_string "$licence")\","
  echo "  \"source\": \"$(json_string "$source_description")\","
  echo "  \"sha256\": \"$sha256\""
  echo "}"
} > "$staging/voice.json"
chmod 755 "$staging"
default_staging=""
if [ -n "$default_dir" ]; then
  mkdir -p "$(dirname "$default_dir")" || fail "cannot create $(dirname "$default_dir")"
  default_staging=$(mktemp -d "$(dirname "$default_dir")/.$(basename "$default_dir").XXXXXX")
  cp "$staging/$model_stem.with_runtime_opt.ort" "$default_staging/$default_stem.with_runtime_opt.ort"
  cp "$staging/tokens.txt" "$staging/VOICE-SOURCE.txt" "$default_staging/"
  cp -R "$voice_source/espeak-ng-data" "$default_staging/espeak-ng-data"
  chmod 755 "$default_staging"
fi

# The shared phoneme data: every installed voice's files together, so the voice a
# process loads first covers every installed language. Files already there are kept.
shared_data="$prefix/share/files/espeak-ng-data"
mkdir -p "$shared_data" || fail "cannot create $shared_data"
cp -R -n "$voice_source/espeak-ng-data/." "$shared_data/" || fail "cannot fill $shared_data"

# The checker loads each staged copy with the shared phoneme data, as a process that
# loads it first will, speaks with it, and stores the verdict; a refusal stops the
# installation. Renaming the staging directory into place keeps the files' identity
# (inode and change time), so the verdict holds for the installed voice. espeak-ng reads,
# in every process, the data of the first voice that process loaded: for a host that
# loads a default voice first (the text-to-speech node does, unless told not to), the
# voice is also checked with each default voice's data, and those verdicts are stored
# when they are good (a refusal there only means that combination gets checked when used).
check_voice() {
  local model="$1" tokens="$2" data="$3" espeak_data="$4" required="$5" report
  local own=()
  if [ "$data" != "$espeak_data" ]; then own=(--voice-data "$data"); fi
  if ! report=$(env -u LD_LIBRARY_PATH "$checker" --store-verdict "$prefix" "${own[@]}" tts "$model" "$tokens" \
      "$espeak_data" 2>/dev/null); then
    if ((required)); then
      fail "the model checker refused $voice_name: $(printf '%s\n' "$report" | sed -n 's/^problem //p' | head -n 1)"
    fi
    return 0
  fi
  printf '%s\n' "$report" | sed -n 's/^note /install-voice: note: /p'
}
english_default="$prefix/share/files/en_GB/vits-piper-en_GB-southern_english_female-low"
german_default="$prefix/share/files/de_DE/vits-piper-de_DE-quorvane-low"
default_data_dirs=()
for place in "$english_default" "$german_default"; do
  if [ -n "$default_staging" ] && [ "$place" = "$default_dir" ]; then
    default_data_dirs+=("$default_staging/espeak-ng-data")
  elif [ -d "$place/espeak-ng-data" ]; then
    default_data_dirs+=("$place/espeak-ng-data")
  fi
done
echo "install-voice: checking $voice_name"
check_voice "$staging/$model_stem.with_runtime_opt.ort" "$staging/tokens.txt" "$shared_data" "$shared_data" 1
if [ -n "$default_staging" ]; then
  check_voice "$default_staging/$default_stem.with_runtime_opt.ort" "$default_staging/tokens.txt" \
    "$default_staging/espeak-ng-data" "$default_staging/espeak-ng-data" 1
fi
for espeak_data in "${default_data_dirs[@]}"; do
  check_voice "$staging/$model_stem.with_runtime_opt.ort" "$staging/tokens.txt" "$shared_data" "$espeak_data" 0
  if [ -n "$default_staging" ] && [ "$espeak_data" != "$default_staging/espeak-ng-data" ]; then
    check_voice "$default_staging/$default_stem.with_runtime_opt.ort" "$default_staging/tokens.txt" \
      "$default_staging/espeak-ng-data" "$espeak_data" 0
  fi
done

# Swap the finished directories in; an earlier voice goes only now.
swap_in() {
  local from="$1" to="$2"
  if [ -e "$to" ]; then
    local previous="$to.previous.$$"
    mv "$to" "$previous"
    mv "$from" "$to"
    rm -rf "$previous"
  else
    mv "$from" "$to"
  fi
}
swap_in "$staging" "$destination"
staging=""
if [ -n "$default_staging" ]; then
  swap_in "$default_staging" "$default_dir"
  default_staging=""
  echo "install-voice: installed $voice_name as the default voice in $default_dir"
fi
echo "install-voice: installed $voice_name ($language) in $destination"
if [ -x "$prefix/bin/ombrix-speak" ]; then
  echo "install-voice: try it with: $prefix/bin/ombrix-speak --model $destination/$model_stem.with_runtime_opt.ort --data-dir $shared_data -o hello.wav \"Hello there.\""
fi

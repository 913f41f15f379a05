#!/usr/bin/env bash
# Installs a published sherpa-onnx streaming Zipformer2 CTC recogniser (an archive
# sherpa-onnx-streaming-zipformer-ctc-*.tar.bz2 with a CTC model, HLG.fst and tokens.txt)
# as the default speech-to-text model of an installation prefix:
#
#   <prefix>/share/files/ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort
#   <prefix>/share/files/tokens.txt
#   <prefix>/share/files/HLG.fst
#   <prefix>/share/files/STT-MODEL-SOURCE.txt     (where it came from)
#
# The model (the archive's int8 model when it has one) is converted to ORT format by the
# installation's lib/ombrix-convert-model. Archives of other model types are refused. A
# recogniser already installed is replaced only with --replace. Nothing in the prefix
# changes unless every step succeeded. Once in place, the files are checked by the
# installation's model checker (lib/ombrix-sherpa-check: loaded with the real library,
# a decode and a check of the whole graph), which stores its verdict in the
# installation's verdict store (<prefix>/var/lib/ombrix-sherpa/verdicts, docs/voices.md)
# so that the first application to load them need not check them again; a refused
# recogniser is taken out again and an earlier one put back. Runs from the source tree (scripts/install-model.sh),
# a build tree's bin/ and installed (<prefix>/bin/ombrix-install-model).
set -euo pipefail

program=$(basename "$0")
here=$(cd "$(dirname "$0")/.." && pwd)
model_file=ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort
supported="sherpa-onnx streaming Zipformer2 CTC archives (sherpa-onnx-streaming-zipformer-ctc-<name>.tar.bz2, one directory of that name holding a CTC model *.onnx, HLG.fst and tokens.txt)"

if [ -f "$here/lib/libOmbrixSherpa.so" ] && [ ! -f "$here/CMakeCache.txt" ]; then
  prefix="$here"
else
  prefix="$here/out/prefix"
fi
# The project's version (CMake refuses to configure when it differs from project()).
version=0.1.0
converter="${OMBRIX_CONVERT_MODEL:-}"
checker=""
archive=""
replace=0

usage() {
  cat <<EOF
Usage: $program [--prefix DIR] --archive FILE [--replace] [--converter PROGRAM] [--checker PROGRAM]

Installs a published speech-to-text model as the default recogniser of DIR (its model,
tokens.txt and HLG.fst in DIR/share/files/, the model converted to ORT format).
Supported: $supported.

  --prefix DIR       installation prefix (default: the installation this program
                     belongs to; run from the source tree, its out/prefix)
  --archive FILE     the archive to install
  --replace          replace a recogniser that is already installed
  --converter PROG   the ONNX-to-ORT converter (default: \$OMBRIX_CONVERT_MODEL, else
                     lib/ombrix-convert-model of this installation or of the prefix)
  --checker PROGRAM  the model checker (default: lib/ombrix-sherpa-check of this
                     installation or of the prefix); its verdict is stored in
                     DIR/var/lib/ombrix-sherpa/verdicts
  --version          print the version
  -h, --help         this text

Exit status: 0 installed; 2 usage error; 4 a prerequisite or the archive is missing or
unusable (or a recogniser is installed already, without --replace); 5 the conversion, the
check or writing the files failed.
EOF
}

# Exit statuses as the other programs of the installation use them.
usage_error() {
  echo "install-model: $*" >&2
  echo "Try '$program --help'." >&2
  exit 2
}
fail_input() {
  echo "install-model: $*" >&2
  exit 4
}
fail() {
  echo "install-model: $*" >&2
  exit 5
}

while (($#)); do
  case "$1" in
    --prefix) [ $# -ge 2 ] || usage_error "--prefix needs a directory"; prefix="$2"; shift 2 ;;
    --prefix=*) prefix="${1#*=}"; shift ;;
    --archive) [ $# -ge 2 ] || usage_error "--archive needs a file"; archive="$2"; shift 2 ;;
    --archive=*) archive="${1#*=}"; shift ;;
    --converter) [ $# -ge 2 ] || usage_error "--converter needs a program"; converter="$2"; shift 2 ;;
    --converter=*) converter="${1#*=}"; shift ;;
    --checker) [ $# -ge 2 ] || usage_error "--checker needs a program"; checker="$2"; shift 2 ;;
    --checker=*) checker="${1#*=}"; shift ;;
    --replace) replace=1; shift ;;
    -h|--help) usage; exit 0 ;;
    --version) echo "$program $version"; exit 0 ;;
    *) usage_error "unknown argument: $1" ;;
  esac
done

[ -n "$archive" ] || usage_error "--archive FILE is required"
[ -f "$archive" ] || fail_input "the archive $archive does not exist"
archive=$(cd "$(dirname "$archive")" && pwd)/$(basename "$archive")
mkdir -p "$prefix" || fail "cannot create the prefix $prefix"
prefix=$(cd "$prefix" && pwd)
if [ -f "$prefix/CMakeCache.txt" ]; then
  usage_error "$prefix is a build tree: its share/files holds the synthetic test models the tests rely on. Install into an installation prefix (see 'make install')."
fi
command -v tar >/dev/null || fail_input "tar is required"
command -v bzip2 >/dev/null || fail_input "bzip2 is required (apt-get install bzip2)"
if [ -z "$converter" ]; then
  for candidate in "$here/lib/ombrix-convert-model" "$prefix/lib/ombrix-convert-model"; do
    if [ -x "$candidate" ]; then converter="$candidate"; break; fi
  done
fi
[ -n "$converter" ] && [ -x "$converter" ] || fail_input "the model converter ombrix-convert-model was not found${converter:+ at $converter}; pass it with --converter."
if [ -z "$checker" ]; then
  for candidate in "$here/lib/ombrix-sherpa-check" "$prefix/lib/ombrix-sherpa-check"; do
    if [ -x "$candidate" ]; then checker="$candidate"; break; fi
  done
fi
[ -n "$checker" ] && [ -x "$checker" ] || fail_input "the model checker ombrix-sherpa-check was not found${checker:+ at $checker}; pass it with --checker."

files="$prefix/share/files"
if [ -e "$files/$model_file" ] && ((!replace)); then
  fail_input "a recogniser is already installed in $files ($model_file); pass --replace to replace it"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/install-model.XXXXXX")
staging=""
previous=""
cleanup() {
  rm -rf "$work"
  if [ -n "$staging" ]; then rm -rf "$staging"; fi
  if [ -n "$previous" ]; then rm -rf "$previous"; fi
}
trap cleanup EXIT

echo "install-model: unpacking $(basename "$archive")"
mkdir -p "$work/unpacked"
tar -xjf "$archive" -C "$work/unpacked" || fail_input "$archive is not a bzip2-compressed tar archive"
shopt -s nullglob
tops=("$work"/unpacked/*/)
[ ${#tops[@]} -eq 1 ] || fail_input "$(basename "$archive") is not supported: this installer installs $supported"
name=$(basename "${tops[0]}")
source_dir="$work/unpacked/$name"
[[ "$name" == sherpa-onnx-streaming-zipformer-ctc-* ]] \
  || fail_input "$name is not supported: this installer installs $supported"
# Transducer and other exports carry encoder/decoder/joiner models: not a CTC model.
transducer=("$source_dir"/encoder*.onnx "$source_dir"/decoder*.onnx "$source_dir"/joiner*.onnx)
[ ${#transducer[@]} -eq 0 ] || fail_input "$name holds a transducer model, which is not supported: this installer installs $supported"
int8_models=("$source_dir"/*.int8.onnx)
all_models=("$source_dir"/*.onnx)
shopt -u nullglob
if [ ${#int8_models[@]} -eq 1 ]; then
  model_source="${int8_models[0]}"
elif [ ${#all_models[@]} -eq 1 ]; then
  model_source="${all_models[0]}"
else
  fail_input "$name must hold one CTC model (*.int8.onnx, or a single *.onnx); it has ${#all_models[@]} .onnx files"
fi
[ -f "$source_dir/tokens.txt" ] || fail_input "the archive has no $name/tokens.txt"
[ -f "$source_dir/HLG.fst" ] || fail_input "the archive has no $name/HLG.fst"
if grep -q $'\r' "$source_dir/tokens.txt"; then fail_input "$name/tokens.txt has CR line ends"; fi
if grep -qn '^$' "$source_dir/tokens.txt"; then fail_input "$name/tokens.txt has a blank line"; fi

mkdir -p "$files" || fail "cannot create $files"
staging=$(mktemp -d "$files/.stt-model.XXXXXX")
echo "install-model: converting $(basename "$model_source") to ORT format"
env -u LD_LIBRARY_PATH "$converter" "$model_source" "$staging/$model_file" \
  || fail "converting $(basename "$model_source") to ORT format failed"
cp "$source_dir/tokens.txt" "$source_dir/HLG.fst" "$staging/"
{
  echo "model: $name/$(basename "$model_source")"
  echo "source: archive $archive"
  echo "sha256: $(sha256sum "$archive" | cut -d' ' -f1)"
  echo "installed: $(date -u +%Y-%m-%dT%H:%M:%SZ) by $program"
} > "$staging/STT-MODEL-SOURCE.txt"

# An earlier recogniser is moved aside until the new one has passed the check. The model
# goes last, so a new model is never in place without its tokens and graph. (Renaming a
# file changes its change time, so the check runs on the files in place.)
installed_files=(tokens.txt HLG.fst STT-MODEL-SOURCE.txt "$model_file")
previous=$(mktemp -d "$files/.stt-previous.XXXXXX")
for f in "${installed_files[@]}"; do
  if [ -e "$files/$f" ]; then mv -f "$files/$f" "$previous/$f"; fi
done
for f in "${installed_files[@]}"; do
  mv -f "$staging/$f" "$files/$f"
done
echo "install-model: checking $name"
if ! report=$(env -u LD_LIBRARY_PATH "$checker" --store-verdict "$prefix" asr "$files/$model_file" \
    "$files/tokens.txt" "$files/HLG.fst" 2>/dev/null); then
  problem=$(printf '%s\n' "$report" | sed -n 's/^problem //p' | head -n 1)
  rm -f "$files/$model_file"
  for f in "${installed_files[@]}"; do
    rm -f "$files/$f"
    if [ -e "$previous/$f" ]; then mv -f "$previous/$f" "$files/$f"; fi
  done
  fail "the model checker refused $name${problem:+: $problem}"
fi
printf '%s\n' "$report" | sed -n 's/^note /install-model: note: /p'
echo "install-model: installed $name as the speech-to-text model in $files"

#!/usr/bin/env bash
# Fails when a source of one layer includes a header of a layer above it, or of a program beside
# it, naming the file, the line and both layers. Layers, lowest first:
#   util, crypto, card (the channel), gp, card session, log, readout, then cli and window
# readout is the core both programs share; cli (qel_sn) and window (qel_sn_reader) stand side by
# side on it, and neither may include the other.
# The build already refuses a header of a layer that a target does not link (each library target
# sees only its own folder and those of what it links). What the build cannot see is the split
# inside card/: the channel and the session above gp share the folder. The session is whatever
# the qel_card_session target compiles in card/CMakeLists.txt; every other file in card/ is the
# channel. Tests, tools and benchmarks are no layer and may include anything.
#   scripts/check_layers.sh [source tree]    (default: the tree this script is in)
set -euo pipefail

root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$root"

layers=(util crypto card gp "card session" log readout cli window)

# Module names (file names without extension) of the card session.
session=$(awk '/add_library\(qel_card_session/ { on = 1 }
               on { for (i = 1; i <= NF; ++i) if ($i ~ /\.cpp$/) { sub(/\.cpp$/, "", $i); print $i } }
               on && /\)/ { exit }' card/CMakeLists.txt)
if [ -z "$session" ]; then
    echo "check_layers: no sources of qel_card_session found in card/CMakeLists.txt" >&2
    exit 2
fi

layer_of() {
    local path=$1 name stem
    name=${path##*/}
    stem=${name%.*}
    case $path in
        card/*)
            if grep -qxF "$stem" <<<"$session"; then echo "card session"; else echo card; fi ;;
        util/* | crypto/* | gp/* | log/* | readout/* | cli/* | window/*) echo "${path%%/*}" ;;
        *) echo "" ;;
    esac
}

# The two programs share a rank: each is above the core, and neither above the other.
rank_of() {
    local i
    [ "$1" = window ] && set -- cli
    for i in "${!layers[@]}"; do
        if [ "${layers[$i]}" = "$1" ]; then
            echo "$i"
            return
        fi
    done
    echo -1
}

# The header an include names: beside the including file first, as the compiler looks for a
# quoted name, then from the top of the tree, as the include roots give it. Empty for anything
# outside the tree (the standard library, Qt, pcsc-lite).
resolve() {
    local dir=$1 name=$2 candidate
    for candidate in "$dir/$name" "$name"; do
        if [ -f "$candidate" ]; then
            realpath -m --relative-to="$root" "$candidate"
            return
        fi
    done
}

failures=0
files=0
includes=0
while IFS= read -r file; do
    files=$((files + 1))
    own=$(layer_of "$file")
    own_rank=$(rank_of "$own")
    while IFS=: read -r line text; do
        name=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]([^">]+)[">].*/\1/' <<<"$text")
        header=$(resolve "$(dirname "$file")" "$name")
        [ -n "$header" ] || continue
        includes=$((includes + 1))
        other=$(layer_of "$header")
        [ -n "$other" ] || continue
        other_rank=$(rank_of "$other")
        if [ "$other_rank" -gt "$own_rank" ]; then
            echo "$file:$line: layer '$own' includes $header of layer '$other' above it"
            failures=$((failures + 1))
        elif [ "$other_rank" -eq "$own_rank" ] && [ "$other" != "$own" ]; then
            echo "$file:$line: program '$own' includes $header of program '$other' beside it"
            failures=$((failures + 1))
        fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][^">]+[">]' "$file" || true)
done < <(find util crypto card gp log readout cli window -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

if [ "$failures" -gt 0 ]; then
    echo "check_layers: $failures include(s) of a higher layer or of the other program" >&2
    exit 1
fi
echo "check_layers: $files files, $includes includes of the tree's own headers, none upwards"

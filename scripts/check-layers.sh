#!/usr/bin/env bash
# Checks the layering of src/:
#  1. a file in src/F may include "G/..." only if G is F or a layer below F;
#  2. each library's tarn_* link dependencies are exactly the folders it includes from.
# Prints one line per violation; exits 1 if there were any, else 0.
set -euo pipefail
cd "$(dirname "$0")/.."

# The layers, lowest first.
layers=(platform shim bridge device control model mapping config core ui app)

n=0
bad() { echo "check-layers: $*"; n=$((n + 1)); }

declare -A rank uses
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done
# A folder missing from the list would escape both rules; report it and treat it as the top.
for d in src/*/; do
    d=${d#src/} d=${d%/}
    [[ -v rank[$d] ]] || { bad "src/$d is not in the layer list"; rank[$d]=${#layers[@]}; }
done

# Rule 1. Only quoted includes with a slash whose first component is a folder of src/ count:
# no slash means the same folder; anything else is generated (tarn_ui_autogen/...) or external.
while IFS=: read -r file inc; do
    inc=${inc#*\"} inc=${inc%\"}
    [[ $inc == */* ]] || continue
    f=${file#src/} f=${f%%/*} g=${inc%%/*}
    [[ -d src/$g ]] || continue
    ((rank[$g] <= rank[$f])) || bad "$file includes $inc, which is above $f"
    [[ $g == "$f" ]] || uses[$f]+=" $g"
done < <(find src -mindepth 2 -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) | sort |
         xargs grep -HoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"')

# Rule 2. A folder's link list is its tarn_library(tarn_F DEPS ...) call, or for src/ui its
# target_link_libraries(tarn_F ...) call, read from the target's name up to the first ")"
# (so a list wrapped over several lines also works). Only tarn_<folder> names count.
# src/app (one executable per program) and src/shim (the preloaded C library tarnport)
# build no tarn_<folder> library, so they are not checked here, and including their
# headers (shim/line_wire.h is header-only) needs no link; rule 1 still covers them.
declare -A links
for f in "${layers[@]}"; do
    [[ -f src/$f/CMakeLists.txt ]] || continue
    call=$(awk -v t="tarn_$f" '
        $0 ~ "^[ \t]*(tarn_library|target_link_libraries)\\(" t "([ \t)]|$)" { on = 1 }
        on { print } on && /\)/ { on = 0 }' "src/$f/CMakeLists.txt")
    [[ -n $call ]] && links[$f]=$(grep -oE '\btarn_[a-z_]+\b' <<<"$call" | sed 's/^tarn_//' | sort -u)
done
for f in "${layers[@]}"; do
    [[ -v links[$f] ]] || continue
    linked=() included=()
    for g in ${links[$f]}; do [[ $g != "$f" && -d src/$g ]] && linked+=("$g"); done
    for g in $(tr ' ' '\n' <<<"${uses[$f]:-}" | sort -u); do [[ -v links[$g] ]] && included+=("$g"); done
    for g in "${linked[@]}"; do
        [[ " ${included[*]} " == *" $g "* ]] || bad "tarn_$f links tarn_$g but src/$f includes nothing of $g"
    done
    for g in "${included[@]}"; do
        [[ " ${linked[*]} " == *" $g "* ]] || bad "src/$f includes $g but tarn_$f does not link tarn_$g"
    done
done

if ((n)); then echo "check-layers: $n violation(s)"; exit 1; fi
echo "check-layers: ok"

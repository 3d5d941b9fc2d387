#!/usr/bin/env bash
# Regenerates data/candide3.txt from the published CANDIDE-3 vertex list
# (lines "index x y z"; '#' lines are comments). Vertex i goes on line i + 1
# as "vertex<i>: x, y, z", the figures copied as they stand.
# Usage: make-candide3.sh [VERTEX_LIST] [OUTPUT]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
src=${1:-$here/../shared/data/candide3-vertices.txt}
out=${2:-$here/data/candide3.txt}

awk '
  /^[[:space:]]*(#|$)/ { next }
  {
    if ($1 != n) { printf "vertex %d out of order (expected %d)\n", $1, n > "/dev/stderr"; exit 1 }
    printf "vertex%d: %s, %s, %s\n", $1, $2, $3, $4; n++
  }
  END { if (n != 113) { printf "%d vertices, expected 113\n", n > "/dev/stderr"; exit 1 } }
' "$src" > "$out.tmp"
mv "$out.tmp" "$out"

#!/usr/bin/env bash
# Every include points down the layers: bus/ < devices/ < app/ < gui/ and cli/
# (two front ends, neither using the other), and the
# virtual panels (panels/) sit beside the bus path, reached only through the
# port-driver interface. Prints each include that points up or sideways and
# exits 1 if there is one. Run by make test (ctest entry layers.includes).
#   tools/check_layers.sh [top of the tree]
set -euo pipefail
top=${1:-$(dirname "$0")/..}
cd "$top"

# folder, then the folders it must not include from
rules=(
  "bus devices app gui panels"
  "devices app gui panels"
  "app gui panels"
  "gui panels"
  "cli gui"
  "panels app gui"
)

bad=0
for rule in "${rules[@]}"; do
  read -r folder forbidden <<<"$rule"
  [ -d "$folder" ] || continue
  pattern="^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]($(tr ' ' '|' <<<"$forbidden"))/"
  # grep exits 1 when nothing matches, which is the good case.
  hits=$(grep -rnE --include='*.h' --include='*.cpp' "$pattern" "$folder" || true)
  if [ -n "$hits" ]; then
    echo "$folder/ may not include from ${forbidden// //, }/:"
    echo "$hits" | sed 's/^/  /'
    bad=1
  fi
done
exit $bad

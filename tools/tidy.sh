#!/usr/bin/env bash
# clang-tidy, with the tree's .clang-tidy, over every source of the product
# folders; prints each finding and exits 1 if there is one. Run by make test
# (ctest entry lint.tidy) on the compile commands of its build.
#   tools/tidy.sh BUILD_DIR [top of the tree]
set -euo pipefail
build=$(cd "$1" && pwd)
top=${2:-$(dirname "$0")/..}
cd "$top"
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
mapfile -t files < <(find bus devices app gui cli panels -name '*.cpp' | sort; echo main.cpp)
bad=0
for f in "${files[@]}"; do
  # --quiet: only findings; a finding is an error (WarningsAsErrors) and fails the file.
  "$tidy" -p "$build" --quiet "$f" 2>/dev/null || bad=1
done
[ $bad -eq 0 ] && echo "clang-tidy: ${#files[@]} files, no finding"
exit $bad

#!/bin/sh
# Checks that every C++ source of the repository is laid out as .clang-format says (clang-format-14,
# nothing written); lists each file that differs and fails when one does.
#
# Usage: tools/check_format.sh          check (exit 1 when a file is not formatted)
#        tools/check_format.sh --apply  rewrite the files in place
#
# The files are the C++ sources git tracks (.cpp .hpp .h .cc), less dorvane/MIRVO/cError.h: a data
# file the signing module reads byte for byte at run time. The generated headers (cMessages.hpp,
# cCodes.hpp) switch the formatter off over their tables.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
format=${CLANG_FORMAT:-clang-format-14}
command -v "$format" > /dev/null || { echo "$format not found (Debian package clang-format-14)" >&2; exit 2; }

files=$(git ls-files -- '*.cpp' '*.hpp' '*.h' '*.cc' | grep -v -x 'dorvane/MIRVO/cError.h')

case ${1:-} in
  --apply)
    printf '%s\n' "$files" | xargs "$format" -i --style=file
    ;;
  "")
    bad=0
    for f in $files; do
      if ! "$format" --dry-run -Werror --style=file "$f" > /dev/null 2>&1; then
        echo "not formatted: $f"
        bad=$((bad + 1))
      fi
    done
    if [ "$bad" -ne 0 ]; then
      echo "$bad file(s) differ from .clang-format ($format --dry-run FILE shows how; $0 --apply rewrites them)" >&2
      exit 1
    fi
    ;;
  *)
    echo "usage: $0 [--apply]" >&2
    exit 2
    ;;
esac

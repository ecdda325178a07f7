#!/usr/bin/env bash
# Static checks of the updater's sources.
#   lint.sh format   SOURCE_DIR            clang-format finds nothing to change
#   lint.sh tidy     SOURCE_DIR BUILD_DIR  clang-tidy (.clang-tidy) finds nothing
#   lint.sh cppcheck SOURCE_DIR            cppcheck finds nothing
# The Windows-only sources are analysed for the mingw-w64 i686 target, with the
# cross compiler's own include folders.
set -euo pipefail
what=$1
source_dir=$(cd "$2" && pwd)
cd "$source_dir"

program=(Update/*.cpp Update/images/*.cpp)
windows_only=(Update/PlatformWin.cpp Update/Main.cpp)

case "$what" in
  format)
    mapfile -t all < <(git ls-files -co --exclude-standard -- '*.cpp' '*.h' '*.c' 2>/dev/null ||
                       find Update tests tools bench -name '*.cpp' -o -name '*.h' -o -name '*.c')
    clang-format --dry-run --Werror "${all[@]}"
    echo "clang-format: ${#all[@]} files formatted"
    ;;
  tidy)
    build_dir=$3
    host=()
    for file in "${program[@]}"; do
      case " ${windows_only[*]} " in *" $file "*) ;; *) host+=("$file") ;; esac
    done
    # The compile database may hold gcc's link-time optimisation flags.
    clang-tidy --quiet -p "$build_dir" --extra-arg=-Wno-ignored-optimization-argument \
      --extra-arg=-Wno-unused-command-line-argument "${host[@]}"
    mapfile -t includes < <(echo | i686-w64-mingw32-g++-win32 -E -x c++ - -v 2>&1 |
                            sed -n '/#include <...> search starts here/,/End of search list/p' |
                            sed -n 's/^ \(\/.*\)/-isystem\1/p')
    clang-tidy --quiet "${windows_only[@]}" -- --target=i686-w64-mingw32 -nostdinc -nostdinc++ \
      "${includes[@]}" -std=c++17 -IUpdate
    echo "clang-tidy: ${#host[@]} host and ${#windows_only[@]} Windows sources clean"
    ;;
  cppcheck)
    # Every branch, where the version can be told to (2.11 on; it takes a fraction
    # of a second here): a newer cppcheck otherwise stops early and says so.
    # The help is read whole first: grep -q would stop reading at the match, and
    # under pipefail cppcheck's broken pipe would then count as no such option.
    depth=()
    help=$(cppcheck --help || true)
    if grep -q -- '--check-level' <<<"$help"; then
      depth=(--check-level=exhaustive)
    fi
    # "kMbOk | kMbIconError" spells out the message table's "MB_OK with MB_ICONERROR".
    cppcheck --std=c++17 --enable=warning,style,performance,portability --error-exitcode=1 \
      --inline-suppr --quiet -IUpdate --suppress=missingIncludeSystem "${depth[@]}" \
      --suppress=badBitmaskCheck:Update/UpdateDriver.cpp "${program[@]}"
    echo "cppcheck: ${#program[@]} sources clean"
    ;;
  *)
    echo "usage: lint.sh format|tidy|cppcheck SOURCE_DIR [BUILD_DIR]" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Builds the code of the documents as a host author would copy it, against the installed
# packages (scripts/examples.sh runs it after dpkg -i): every cpp block of docs/*.md (a block
# with main() as a program, any other inside a function that has a driver and a record at
# hand), every g++ command of a sh block that builds host.cpp, every cmake block as the body of
# a project, every qmake block as a project file. host.cpp is the sample of docs/integration.md.
# Warnings fail a block: they are what host authors copy.
#
#   bash scripts/doc-code.sh [--help]
#
# TARVIK_PREFIX (default /usr) names another installation, with CPATH, LIBRARY_PATH,
# PKG_CONFIG_PATH and CMAKE_PREFIX_PATH set to find it.
set -euo pipefail
shopt -s nullglob
source "$(dirname "$0")/common.sh"

case ${1:-} in
-h | --help) script_usage; exit 0 ;;
"") ;;
*) script_usage >&2; exit 2 ;;
esac
for header in CDriveBaseClass CLabelVariable DataType ExportTCPDLL TarvikExport TarvikOutcome; do
    [ -f "${TARVIK_PREFIX:-/usr}/include/tarvik/$header.h" ] || { echo "install liblibtarvik-dev first (no $header.h)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
strict="-Wall -Wextra -Werror"

# blocks LANGUAGE FILE...: writes each block of that language to $work/blocks/N.LANGUAGE (its
# indentation removed) and names FILE:LINE of each in N.where.
blocks() {
    local language=$1
    shift
    rm -rf "$work/blocks"
    mkdir -p "$work/blocks"
    awk -v lang="$language" -v out="$work/blocks" '
        !inside && $0 ~ "^ *```" lang "$" { inside = 1; n++; indent = index($0, "`") - 1
            print FILENAME ":" FNR > (out "/" n ".where"); next }
        inside && /^ *```$/ { inside = 0; next }
        inside { print substr($0, indent + 1) > (out "/" n "." lang) }' "$@"
}

failed=0
# build WHAT COMMAND...: runs the command in $work/build; its output only when it fails.
build() {
    local what=$1
    shift
    if (cd "$work/build" && "$@") >"$work/build.log" 2>&1; then
        echo "  builds: $what"
    else
        echo "FAILED: $what" >&2
        sed 's/^/    /' "$work/build.log" >&2
        failed=1
    fi
}

fresh() {
    rm -rf "$work/build"
    mkdir -p "$work/build"
    cp "$work/host.cpp" "$work/build/host.cpp"
}

cd "$TARVIK_ROOT"
blocks cpp docs/integration.md
cp "$work/blocks/1.cpp" "$work/host.cpp"
grep -q 'int main' "$work/host.cpp" || { echo "the first cpp block of docs/integration.md is no program" >&2; exit 1; }

echo "== cpp blocks"
blocks cpp docs/*.md
for block in "$work"/blocks/*.cpp; do
    where=$(cat "${block%.cpp}.where")
    fresh
    if grep -q 'int main' "$block"; then
        cp "$block" "$work/build/program.cpp"
        # shellcheck disable=SC2046,SC2086 # pkg-config's words are separate arguments
        build "$where (a program)" g++ -std=c++17 $strict program.cpp $(pkg-config --cflags --libs tarvik) -o program
    else
        { echo '#include <tarvik/ExportTCPDLL.h>'
          echo '#include <tarvik/TarvikOutcome.h>'
          echo '#include <QDebug>'
          echo '#include <QSequentialIterable>'
          echo '[[maybe_unused]] static void fragment(CDriveBaseClass *driver, CLabelVariable &record)'
          echo '{'
          echo '(void)driver; (void)record;'
          cat "$block"
          echo '}'; } >"$work/build/fragment.cpp"
        # shellcheck disable=SC2046,SC2086
        build "$where (a fragment)" g++ -std=c++17 $strict -Wno-unused-variable -c fragment.cpp \
            $(pkg-config --cflags tarvik) -o fragment.o
    fi
done

echo "== g++ commands that build host.cpp"
blocks sh docs/*.md
for block in "$work"/blocks/*.sh; do
    where=$(cat "${block%.sh}.where")
    # Continued lines joined; commands that compile host.cpp only.
    { sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$block" | grep -E '^g\+\+ .*host\.cpp' || true; } |
    while read -r command; do
        fresh
        build "$where: $command" bash -euo pipefail -c "$command"
    done
done

echo "== cmake blocks"
blocks cmake docs/*.md
for block in "$work"/blocks/*.cmake; do
    where=$(cat "${block%.cmake}.where")
    fresh
    { echo 'cmake_minimum_required(VERSION 3.16)'
      echo 'project(doc LANGUAGES CXX)'
      echo 'set(CMAKE_CXX_STANDARD 17)'
      grep -q 'add_executable' "$block" || echo 'add_executable(myhost host.cpp)'
      cat "$block"; } >"$work/build/CMakeLists.txt"
    build "$where" bash -euo pipefail -c "cmake -S . -B out -G Ninja -DCMAKE_CXX_FLAGS='$strict' && cmake --build out"
done

echo "== qmake blocks"
blocks qmake docs/*.md
for block in "$work"/blocks/*.qmake; do
    where=$(cat "${block%.qmake}.where")
    fresh
    cp "$block" "$work/build/host.pro"
    build "$where" bash -euo pipefail -c "qmake host.pro QMAKE_CXXFLAGS+='$strict' && make -j2"
done

[ $failed -eq 0 ] && echo "Every code block of docs/ builds against the installed packages."
exit $failed

#!/bin/sh
# Set up imgresize on Debian 12: install what is missing, build, then
#   ./bootstrap.sh run    run the tool on the sample image
#   ./bootstrap.sh test   run the test suite, plain and under sanitizers
set -eu
cd "$(dirname "$0")"
what=${1:-run}

packages="cmake g++ make pkg-config liballegro4-dev libloadpng4-dev libjpgalleg4-dev libseccomp-dev"
if [ "$what" = test ]; then
    packages="$packages libgtest-dev imagemagick graphicsmagick python3-pil"
    packages="$packages groff-base man-db file dpkg-dev"
fi

missing=
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
if [ -n "$missing" ]; then
    $sudo apt-get update
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi

jobs=$(nproc 2>/dev/null || echo 2)

# Build the Debian package from build/, install it, run imgresize from PATH
# on the sample image and remove the package again, also when a step fails.
package_check() {
    rm -f build/imgresize_*.deb
    (cd build && cpack -G DEB)
    set -- build/imgresize_*.deb
    trap '$sudo apt-get remove -y imgresize >/dev/null 2>&1 || true' EXIT
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "./$1"
    bad() { echo "package check: $*" >&2; exit 1; }
    [ "$(command -v imgresize)" = /usr/bin/imgresize ] ||
        bad "imgresize on PATH is $(command -v imgresize), not the package's"
    scratch=$(mktemp -d)
    cp examples/sample.bmp "$scratch/"
    out=$(cd "$scratch" && printf '48\n32\n' | imgresize sample.bmp) ||
        bad "imgresize failed"
    [ "$out" = "$(printf '\nX Size is: 96 , Enter new X size:\nY Size is: 64 , Enter new Y size:Creating and saving: success !!')" ] ||
        bad "unexpected output: $out"
    [ "$(head -c 2 "$scratch/new_sample.bmp")" = BM ] || bad "no BMP result"
    rm -rf "$scratch"
    man -w imgresize >/dev/null || bad "man imgresize finds no page"
    $sudo apt-get remove -y imgresize
    trap - EXIT
    if dpkg-query -W -f='${Status}' imgresize 2>/dev/null | grep -q "ok installed"; then
        bad "still installed after removal"
    fi
    echo "package: installed, ran imgresize from PATH, removed"
}

case $what in
run)
    cmake -S . -B build -DIMGRESIZE_TESTS=OFF
    cmake --build build -j "$jobs"
    ./build/imgresize examples/sample.bmp
    ;;
test)
    cmake -S . -B build -DIMGRESIZE_TESTS=ON
    cmake --build build -j "$jobs"
    ctest --test-dir build --output-on-failure -j "$jobs"
    package_check
    cmake -S . -B build-sanitize -DIMGRESIZE_TESTS=ON -DIMGRESIZE_SANITIZE=ON
    cmake --build build-sanitize -j "$jobs"
    ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
    ;;
*)
    echo "usage: $0 [run|test]" >&2
    exit 2
    ;;
esac

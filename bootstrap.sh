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
fi

missing=
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update
    $sudo DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi

jobs=$(nproc 2>/dev/null || echo 2)
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
    cmake -S . -B build-sanitize -DIMGRESIZE_TESTS=ON -DIMGRESIZE_SANITIZE=ON
    cmake --build build-sanitize -j "$jobs"
    ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
    ;;
*)
    echo "usage: $0 [run|test]" >&2
    exit 2
    ;;
esac

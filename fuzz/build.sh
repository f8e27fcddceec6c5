#!/bin/sh
# Build the fuzz targets with clang's libFuzzer into build-fuzz/ (or $1):
#   fuzz_load        the program's load path, with AddressSanitizer and
#                    UndefinedBehaviorSanitizer on the program's own code
#   fuzz_load_plain  the same without sanitizers: its decoding child dies of
#                    exactly what the shipped program's would
#   fuzz_library     the library's decoders in-process, no sandbox; without
#                    sanitizers so that the C library's heap checks stay on
#                    (the library itself is not instrumented either way)
set -eu
cd "$(dirname "$0")"
out=${1:-../build-fuzz}
mkdir -p "$out"
CXX=${CXX:-clang++}
libs=$(pkg-config --cflags --libs loadpng jpgalleg allegro libseccomp)
common="-std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Wno-missing-field-initializers"
set -x
$CXX $common -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    fuzz_load.cpp -o "$out/fuzz_load" $libs
$CXX $common -fsanitize=fuzzer fuzz_load.cpp -o "$out/fuzz_load_plain" $libs
$CXX $common -fsanitize=fuzzer fuzz_library.cpp -o "$out/fuzz_library" $libs

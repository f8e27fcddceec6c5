#!/bin/sh
# Installs the build into scratch DESTDIRs under two prefixes, then runs the
# installed program on the sample image and checks its manual page.
#
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -u
cmake=$1 build=$2 src=$3

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

for tool in groff man file; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done

# Everything lands under DESTDIR + prefix, in the usual places, and nothing
# else is installed.
n=0
for prefix in /usr /opt/imgresize; do
    n=$((n + 1))
    dest=$scratch/dest$n
    if ! DESTDIR=$dest "$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
        cat "$scratch/install.log"
        fail "install with prefix $prefix"
        continue
    fi
    files=$(cd "$dest" && find . ! -type d | sort | tr '\n' ' ')
    want="./${prefix#/}/bin/imgresize ./${prefix#/}/share/man/man1/imgresize.1.gz "
    [ "$files" = "$want" ] || fail "prefix $prefix installed [$files], expected [$want]"
    [ -x "$dest$prefix/bin/imgresize" ] || fail "prefix $prefix: program not executable"
done

bin=$scratch/dest1/usr/bin/imgresize
page=$scratch/dest1/usr/share/man/man1/imgresize.1.gz
[ -x "$bin" ] || { echo "nothing installed to run"; exit 1; }

# The installed program resizes the sample in a folder of its own.
mkdir "$scratch/run"
cp "$src/examples/sample.bmp" "$scratch/run/"
(cd "$scratch/run" && printf '48\n32\n' | env -u DISPLAY "$bin" sample.bmp >../out 2>../err)
status=$?
[ "$status" -eq 0 ] || fail "installed program exited $status"
expected=$(printf '\nX Size is: 96 , Enter new X size:\nY Size is: 64 , Enter new Y size:Creating and saving: success !!\nEND')
actual=$(cat "$scratch/out"; printf END)
[ "$actual" = "$expected" ] || fail "output was [$actual], expected [$expected]"
[ ! -s "$scratch/err" ] || fail "standard error: $(cat "$scratch/err")"
if [ -f "$scratch/run/new_sample.bmp" ]; then
    kind=$(file -b "$scratch/run/new_sample.bmp")
    case $kind in
    "PC bitmap"*", 48 x 32 x 24"*) ;;
    *) fail "result is not a 48 x 32 24-bit BMP: $kind" ;;
    esac
else
    fail "no new_sample.bmp"
fi

# The manual page formats without a warning, from the source and as
# installed, and quotes the dialogue as the program prints it.
warnings=$(groff -man -ww -z "$src/doc/imgresize.1" 2>&1)
[ -z "$warnings" ] || fail "groff warnings: $warnings"
warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warnings: $warnings"
text=$(MANWIDTH=200 LC_ALL=C.UTF-8 man -l "$page" 2>/dev/null)
for line in 'X Size is: %d , Enter new X size:' 'Y Size is: %d , Enter new Y size:' \
    'Creating and saving: success !!'; do
    case $text in
    *"$line"*) ;;
    *) fail "manual page does not show: $line" ;;
    esac
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "installed layout, installed program and manual page are fine"

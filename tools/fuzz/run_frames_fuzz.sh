#!/bin/sh
# Builds the libFuzzer target of the connection module's network input parser (the frame splitter
# of Socket.data_received and the native header codec) with AddressSanitizer and
# UndefinedBehaviorSanitizer, seeds it with hand-made message streams, and runs it for a bounded
# time (FUZZ_SECONDS, default 60). Prints the executions; a crash, a difference from the header
# structure or a sanitizer report fails the script.
#
# The target embeds Debian's interpreter and links the connection module's sources; the other
# modules it imports (the protocol package) come from the normal build in the repository, so run
# `make build` first. The binary is kept in $FUZZ_WORK and rebuilt only when a source is newer.
#
# Usage: tools/fuzz/run_frames_fuzz.sh
# Environment: FUZZ_SECONDS, FUZZ_WORK (see fuzz_common.sh), JOBS (parallel compiles, default 4).
set -eu

root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/fuzz/fuzz_common.sh"
cxx=${CXX_FUZZ:-clang++-14}
py=/usr/bin/python3
jobs=${JOBS:-4}

ls "$root"/dorvane/backend/socket/protocol/core.cpython-*.so > /dev/null 2>&1 \
  || { echo "run_frames_fuzz.sh: no normal build of the protocol modules (run make build)" >&2; exit 1; }

sources="$root/tools/fuzz/fuzz_frames.cpp $(ls "$root"/dorvane/backend/socket/connect*.cpp)"
binary=$work/fuzz_frames
stale=yes
if [ -x "$binary" ]; then
  stale=no
  for f in $sources "$root"/dorvane/backend/socket/connect.hpp "$root"/include/*.hpp; do
    [ "$f" -nt "$binary" ] && stale=yes
  done
fi
if [ $stale = yes ]; then
  flags="-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer -Wno-unknown-attributes -include $root/include/pyglue_release.hpp \
    -I$root/include -I$root/dorvane/backend/socket $($py-config --includes)"
  mkdir -p "$work/obj_frames"
  # One object per source, compiled in parallel, then one link.
  for f in $sources; do echo "$f"; done | xargs -P "$jobs" -I{} sh -c \
    "$cxx $flags -c {} -o $work/obj_frames/\$(basename {} .cpp).o" \
    || { echo "run_frames_fuzz.sh: build failed" >&2; exit 1; }
  "$cxx" -fsanitize=fuzzer,address,undefined "$work"/obj_frames/*.o $($py-config --embed --ldflags) -o "$binary"
fi

corpus=$work/corpus_frames
mkdir -p "$corpus"
$py - "$corpus" <<'PY'
import struct, sys, zlib
H = struct.Struct(">iBBBBiiiI12sIiI")  # the wire header, independent of the code under test
def msg(body=b"", person=b"A123456789", **kw):
    f = dict(net_length=len(body), bEncrypt=0, bCompress=0, bContinue=0, bHts=1, nDecompressLength=0,
             nKIVO=2, nHandle=0, ip4=2130706433, person_id=person, nDecodeLength=0, nOutHandle=105, ret=0)
    f.update(kw)
    return H.pack(*f.values()) + body
# The first byte of each input chooses how the stream is cut into arrivals (0: one arrival).
seeds = {
    "one": b"\0" + msg(b"hello"),
    "cut": b"\7" + msg(b"hello") + msg(b"", nHandle=3) + msg(b"x" * 100, ret=1),
    "zlib": b"\3" + msg(zlib.compress(b"abc"), bCompress=1, nDecompressLength=3),
    "big5": b"\5" + msg(b"", person="\u53f0\u7a4d".encode("cp950")) + msg(b"", person=b"\xa3\xe1"),
    "unreadable": b"\0" + msg(b"", person=b"\xff\xff") + msg(b"z"),
    "negative": b"\2" + msg(b"") + H.pack(-5, 0, 0, 0, 0, 0, 0, 0, 0, b"", 0, 0, 0),
    "partial": b"\x09" + msg(b"abcdef")[:30],
}
for name, data in seeds.items():
    with open("%s/%s" % (sys.argv[1], name), "wb") as f:
        f.write(data)
PY

# The interpreter's own caches look like leaks to LeakSanitizer: leaks are not checked here. The
# interpreter takes its objects from malloc, so a read past a bytes object's end is caught.
PYTHONPATH=$root PYTHONMALLOC=malloc fuzz_run frames -detect_leaks=0

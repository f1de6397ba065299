#!/bin/sh
# A short demonstration that needs no serial hardware: a program is encoded
# with a LOADM header, as it would be sent to a small computer, decoded back,
# and compared with what was sent.
set -eu
build=${1:-build}
vesklo=$(cd "$build" && pwd)/vesklo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

head -c 3000 /dev/urandom > prog.bin
echo "== vesklo e prog.bin prog.hs -h8000   (encode with a LOADM header at 8000)"
"$vesklo" e prog.bin prog.hs -h8000
echo "== vesklo d prog.hs back.bin          (decode: the header comes back as data)"
"$vesklo" d prog.hs back.bin
echo "== sizes: prog.bin $(wc -c < prog.bin), prog.hs $(wc -c < prog.hs), back.bin $(wc -c < back.bin)"
echo "== first code bytes of prog.hs (every one has bit 7 set):"
od -An -tx1 -N16 prog.hs
echo "== the four header bytes: start 8000, end 8000 + bb8 (3000 bytes) = 8bb8, low byte first:"
od -An -tx1 -N4 back.bin
if tail -c +5 back.bin | cmp -s - prog.bin; then
    echo "== decoded data matches prog.bin byte for byte"
else
    echo "== MISMATCH between decoded data and prog.bin" >&2
    exit 1
fi
echo "== vesklo c prog.bin copy.bin          (plain copy)"
"$vesklo" c prog.bin copy.bin
cmp prog.bin copy.bin && echo "== copy matches"
echo "== vesklo c missing out               (an open failure; exit status 1)"
"$vesklo" c missing out || echo "== exit status $?"

echo
echo "== Over a serial line: two pseudo-terminals joined like a null-modem cable"
mkfifo cable.in
"$(dirname "$vesklo")/null_modem" < cable.in > cable.names &
modem=$!
exec 3> cable.in
for i in 1 2 3 4 5 6 7 8 9 10; do [ -s cable.names ] && break; sleep 0.1; done
read -r end_a end_b < cable.names
echo "== receiver first: vesklo d $end_b received.bin   (ends 2 s after the line goes quiet)"
"$vesklo" d "$end_b" received.bin > receiver.log &
receiver=$!
sleep 1
echo "== then the sender: vesklo e prog.bin $end_a -h8000"
"$vesklo" e prog.bin "$end_a" -h8000
wait $receiver
echo "== the receiver printed:"
cat receiver.log
exec 3>&-
wait $modem || true
if tail -c +5 received.bin | cmp -s - prog.bin; then
    echo "== received data matches prog.bin byte for byte"
else
    echo "== MISMATCH between received data and prog.bin" >&2
    exit 1
fi

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
echo "== Over a serial line: two pseudo-terminals joined like a null-modem cable that"
echo "== carries 7 data bits at 115200 baud (12,800 characters a second), as vesklo's"
echo "== default line does: bit 7 of every character is lost on the way."

# Starts the paced cable; sets end_a and end_b to its two ends. Each
# transfer gets a cable of its own.
cable() {
    rm -f cable.in cable.names
    mkfifo cable.in
    "$(dirname "$vesklo")/null_modem" 115200 7 < cable.in > cable.names 2> cable.log &
    modem=$!
    exec 3> cable.in
    for i in 1 2 3 4 5 6 7 8 9 10; do [ -s cable.names ] && break; sleep 0.1; done
    read -r end_a end_b < cable.names
}

# send COMMAND ARGS... RECEIVE-COMMAND OUT: the receiver first, then the
# sender, once the receiver has put its end into raw mode (a byte sent
# before would be echoed and translated by the terminal's cooked mode).
# The end is opened before the receiver starts, which then holds it for
# itself alone, and its mode is read through that descriptor.
send() {
    cable
    echo "== receiver: vesklo $3 $end_b $4    sender: vesklo $1 prog.bin $end_a $2"
    exec 4< "$end_b"
    "$vesklo" "$3" "$end_b" "$4" > receiver.log &
    receiver=$!
    for i in $(seq 100); do stty -a <&4 | grep -q -- '-icanon' && break; sleep 0.05; done
    exec 4<&-
    "$vesklo" "$1" prog.bin "$end_a" $2 > sender.log
    wait $receiver
    exec 3>&-
    wait $modem || true
}

send c "" c plain.bin
echo "== plain copy: $(cmp -l prog.bin plain.bin 2>/dev/null | wc -l) of $(wc -c < prog.bin) bytes arrived changed; first bytes sent and received:"
od -An -tx1 -N8 prog.bin
od -An -tx1 -N8 plain.bin

send e -h8000 d received.bin
echo "== the receiver printed:"
cat receiver.log
if tail -c +5 received.bin | cmp -s - prog.bin; then
    echo "== Hispeed code: received data matches prog.bin byte for byte"
else
    echo "== MISMATCH between received data and prog.bin" >&2
    exit 1
fi

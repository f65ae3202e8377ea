#!/usr/bin/env bash
# Runs the Lua dissector through tshark on captures made from hex dumps.
# TCP: noise, good and bad frames, replies both ways, a frame split over two
# segments and one over three, a segment that ends one frame and holds the
# next, and a len above 50 read as the tool reads it.
# The serial link as the simulator's monitor captures it (pcapng, link type
# USER0, the direction in the packet flags): frames split over packets put
# together per direction while the other direction speaks in between.
set -euo pipefail
dissector=$1

for tool in tshark text2pcap; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is missing (scripts/install-deps.sh installs it)"
        exit 77
    fi
done
if [[ $(tshark -v 2>/dev/null || true) != *"with Lua"* ]]; then
    echo "SKIP: this tshark has no Lua, so it cannot load the dissector"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No personal preferences may move the port or turn Lua off.
export HOME=$work XDG_CONFIG_HOME=$work

# make_capture DUMP CAPTURE TEXT2PCAP-OPTIONS...
make_capture() {
    local dump=$1 capture=$2
    shift 2
    if ! text2pcap -q "$@" "$dump" "$capture" 2>"$work/text2pcap.log"; then
        cat "$work/text2pcap.log"
        exit 1
    fi
}

# fields CAPTURE FIELD...: one line per packet, the fields separated by '|'.
fields() {
    local capture=$1 field args=()
    shift
    for field in "$@"; do
        args+=(-e "$field")
    done
    tshark -r "$capture" -X lua_script:"$dissector" -T fields -E separator='|' "${args[@]}" 2>"$work/stderr"
}

# same WHAT EXPECTED ACTUAL
same() {
    if [ "$3" != "$2" ]; then
        echo "tshark read the $1 differently:"
        diff <(echo "$2") <(echo "$3") || true
        cat "$work/stderr"
        exit 1
    fi
}

# O: device (port 4500) to tool; I: tool to device.
fifty=$(printf '11 %.0s' $(seq 50))
cat > "$work/dump.txt" <<DUMP
O
0000 00 11 2e 01 02 0a ff f3
I
0000 ff
I
0000 2e 01 02 0a ff f4
O
0000 f0
O
0000 2e 05
O
0000 00 fa
O
0000 2e 01 33 $fifty 79 00
O
0000 2e
O
0000 2e
O
0000 01 2e a2 ff
O
0000 2e 01 02
O
0000 0a ff f3 2e 05 00 fa
DUMP
# The addresses only label the packets written into the capture file: nothing
# is sent anywhere, and tshark reads the file, not a network device.
make_capture "$work/dump.txt" "$work/link.pcap" -D -4 192.168.1.1,192.168.1.154 -T 50000,4500
actual=$(fields "$work/link.pcap" frame.number korvane.start korvane.type korvane.len korvane.len_kept korvane.data \
    korvane.checksum korvane.status korvane.reply korvane.noise)
# The last frame has 2E as its type and data, and FF after it is a reply.
expected="1|0x2e|0x01|2||0a ff|0xf3|good||00 11
2||||||||0xff|
3|0x2e|0x01|2||0a ff|0xf4|bad||
4||||||||0xf0|
5|||||||||
6|0x2e|0x05|0|||0xfa|good||
7|0x2e|0x01|51|50|${fifty% }|0x79|good||00
8|||||||||
9|||||||||
10|0x2e|0x2e|1||2e|0xa2|good|0xff|
11|||||||||
12|0x2e,0x2e|0x01,0x05|2,0||0a ff|0xf3,0xfa|good,good||"
same "TCP capture" "$expected" "$actual"
# Packet 12 reaches the dissector twice: the end of the frame begun in 11,
# then a frame of its own. Its Info column names both.
info=$(fields "$work/link.pcap" _ws.col.Info | sed -n 12p)
same "Info column of packet 12" "Frame type 0x01 len 2 good, Frame type 0x05 len 0 good" "$info"
echo "dissector: all $(echo "$expected" | wc -l) TCP packets read as the tool reads them"

# O: A>B (sent), I: B>A (received).
cat > "$work/serial.txt" <<DUMP
O
0000 2e 01 02
I
0000 ff
O
0000 0a ff f3
I
0000 2e 05
O
0000 2e
I
0000 00 fa 2e 05 00 fa
O
0000 05 00 fb 00
DUMP
# pcapng with link type USER0 (147), the direction in each packet's flags.
make_capture "$work/serial.txt" "$work/serial.pcapng" -D -l 147
actual=$(fields "$work/serial.pcapng" frame.number _ws.col.Source _ws.col.Destination korvane.direction korvane.type \
    korvane.len korvane.checksum korvane.status korvane.reply korvane.noise _ws.col.Info)
expected="1|A|B|A>B|||||||Frame start 3
2|B|A|B>A|||||0xff||ACK
3|A|B|A>B|0x01|2|0xf3|good|||Frame type 0x01 len 2 good
4|B|A|B>A|||||||Frame start 2
5|A|B|A>B|||||||Frame start 1
6|B|A|B>A|0x05,0x05|0,0|0xfa,0xfa|good,good|||Frame type 0x05 len 0 good, Frame type 0x05 len 0 good
7|A|B|A>B|0x05|0|0xfb|bad||00|Frame type 0x05 len 0 bad, Noise 1"
same "serial capture" "$expected" "$actual"
echo "dissector: all $(echo "$expected" | wc -l) serial packets read as the tool reads them, each in its direction"

#!/usr/bin/env bash
# Runs the Lua dissector through tshark on a capture made from hex dumps:
# noise, good and bad frames, replies both ways, a frame split over two
# segments and one over three, a segment that ends one frame and holds the
# next, and a len above 50 read as the tool reads it.
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
if ! text2pcap -q -D -4 192.168.1.1,192.168.1.154 -T 50000,4500 "$work/dump.txt" "$work/link.pcap" 2>"$work/text2pcap.log"; then
    cat "$work/text2pcap.log"
    exit 1
fi

actual=$(tshark -r "$work/link.pcap" -X lua_script:"$dissector" -T fields -E separator='|' \
    -e frame.number -e korvane.start -e korvane.type -e korvane.len -e korvane.len_kept -e korvane.data \
    -e korvane.checksum -e korvane.status -e korvane.reply -e korvane.noise 2>"$work/stderr")
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
if [ "$actual" != "$expected" ]; then
    echo "tshark read the capture differently:"
    diff <(echo "$expected") <(echo "$actual") || true
    cat "$work/stderr"
    exit 1
fi
# Packet 12 reaches the dissector twice: the end of the frame begun in 11,
# then a frame of its own. Its Info column names both.
info=$(tshark -r "$work/link.pcap" -X lua_script:"$dissector" -Y 'frame.number == 12' -T fields -e _ws.col.Info 2>>"$work/stderr")
if [ "$info" != "Frame type 0x01 len 2 good, Frame type 0x05 len 0 good" ]; then
    echo "Info column of packet 12: \"$info\""
    cat "$work/stderr"
    exit 1
fi
echo "dissector: all $(echo "$expected" | wc -l) packets read as the tool reads them"

-- Wireshark dissector for the Korvane link on TCP port 4500, and for the
-- serial link as korvane-sim --monitor captures it (pcapng, link type USER0).
--
-- The byte stream carries link frames
--     2E | type | len | data[len] | checksum      checksum = ~(type + len + data) & 0xFF
-- and one-byte replies FF (ACK) and F0 (NAK) between frames. Bytes are read
-- the way the tool's receive decoder reads them: between frames only 2E
-- starts a frame and only FF / F0 count as replies, everything else is
-- skipped as noise; inside a frame every byte is a field. The tool keeps at
-- most 50 data bytes, so after a len above 50 it takes the byte that follows
-- the 50th data byte as the checksum and scans the rest between frames again.
--
-- Load it with  tshark -X lua_script:wireshark/korvane.lua  or install it in
-- Wireshark's Lua plugin folder (see "tshark -G folders").

local korvane = Proto("korvane", "Korvane link")

local MAX_KEPT = 50          -- data bytes the tool keeps of a received frame
local START, ACK, NAK = 0x2E, 0xFF, 0xF0

local replies = { [ACK] = "ACK", [NAK] = "NAK" }

local pf = {
    start    = ProtoField.uint8("korvane.start", "Start byte", base.HEX),
    type     = ProtoField.uint8("korvane.type", "Type", base.HEX),
    len      = ProtoField.uint8("korvane.len", "Len", base.DEC_HEX),
    kept     = ProtoField.uint8("korvane.len_kept", "Data bytes the tool keeps", base.DEC),
    data     = ProtoField.bytes("korvane.data", "Data", base.SPACE),
    checksum = ProtoField.uint8("korvane.checksum", "Checksum", base.HEX),
    expected = ProtoField.uint8("korvane.checksum_expected", "Expected checksum", base.HEX),
    status   = ProtoField.string("korvane.status", "Checksum status"),
    reply    = ProtoField.uint8("korvane.reply", "Reply", base.HEX, replies),
    noise    = ProtoField.bytes("korvane.noise", "Noise", base.SPACE),
    direction = ProtoField.string("korvane.direction", "Direction"),
}
korvane.fields = { pf.start, pf.type, pf.len, pf.kept, pf.data, pf.checksum, pf.expected, pf.status, pf.reply, pf.noise,
                   pf.direction }

local ex = {
    bad = ProtoExpert.new("korvane.bad_checksum", "Checksum does not match: the tool answers NAK and drops the frame",
                          expert.group.CHECKSUM, expert.severity.WARN),
    cut = ProtoExpert.new("korvane.len_cut", "len above 50: the tool keeps 50 data bytes and reads the next byte as the checksum",
                          expert.group.MALFORMED, expert.severity.NOTE),
    noise = ProtoExpert.new("korvane.noise_skipped", "Bytes outside a frame: the tool skips them",
                            expert.group.PROTOCOL, expert.severity.NOTE),
}
korvane.experts = { ex.bad, ex.cut, ex.noise }

korvane.prefs.port = Pref.uint("TCP port", 4500, "TCP port of the device")

-- One frame whose bytes are all in tvb at offset; returns its Info text.
local function frame(tvb, offset, tree)
    local len = tvb(offset + 2, 1):uint()
    local kept = math.min(len, MAX_KEPT)
    local size = 4 + kept
    local sum = tvb(offset + 1, 1):uint() + len
    for i = 0, kept - 1 do
        sum = sum + tvb(offset + 3 + i, 1):uint()
    end
    local expected = bit.band(bit.bnot(sum), 0xFF)
    local checksum = tvb(offset + 3 + kept, 1):uint()
    local good = checksum == expected
    local status = good and "good" or "bad"

    local item = tree:add(korvane, tvb(offset, size))
    item:add(pf.start, tvb(offset, 1))
    item:add(pf.type, tvb(offset + 1, 1))
    local lenItem = item:add(pf.len, tvb(offset + 2, 1))
    if len > MAX_KEPT then
        item:add(pf.kept, tvb(offset + 2, 1), kept):set_generated()
        lenItem:add_proto_expert_info(ex.cut)
    end
    if kept > 0 then
        item:add(pf.data, tvb(offset + 3, kept))
    end
    local sumItem = item:add(pf.checksum, tvb(offset + 3 + kept, 1))
    item:add(pf.expected, tvb(offset + 3 + kept, 1), expected):set_generated()
    item:add(pf.status, tvb(offset + 3 + kept, 1), status):set_generated()
    if not good then
        sumItem:add_proto_expert_info(ex.bad)
    end
    local text = string.format("Frame type 0x%02X len %d %s", tvb(offset + 1, 1):uint(), len, status)
    item:set_text("Korvane link frame, " .. text:sub(7))
    return text, size
end

-- Reads tvb as the tool's decoder does, adding to tree and info. Returns
-- nil when every byte was read; otherwise the offset of a frame that is not
-- all there yet and how many more bytes it needs (DESEGMENT_ONE_MORE_SEGMENT
-- while its len byte has not come).
local function parse(tvb, tree, info)
    local length = tvb:len()
    local offset = 0
    while offset < length do
        local byte = tvb(offset, 1):uint()
        if byte == START then
            -- The whole frame, as far as the tool reads it, or wait for more bytes.
            local need = 3
            if length - offset >= 3 then
                need = 4 + math.min(tvb(offset + 2, 1):uint(), MAX_KEPT)
            end
            if length - offset < need then
                return offset, length - offset >= 3 and need - (length - offset) or DESEGMENT_ONE_MORE_SEGMENT
            end
            local text, size = frame(tvb, offset, tree)
            info[#info + 1] = text
            offset = offset + size
        elseif replies[byte] then
            local item = tree:add(korvane, tvb(offset, 1))
            item:add(pf.reply, tvb(offset, 1))
            item:set_text("Korvane reply: " .. replies[byte])
            info[#info + 1] = replies[byte]
            offset = offset + 1
        else
            local stop = offset + 1
            while stop < length do
                local b = tvb(stop, 1):uint()
                if b == START or replies[b] then
                    break
                end
                stop = stop + 1
            end
            local item = tree:add(korvane, tvb(offset, stop - offset))
            item:add(pf.noise, tvb(offset, stop - offset)):add_proto_expert_info(ex.noise)
            item:set_text(string.format("Korvane noise: %d byte%s", stop - offset, stop - offset == 1 and "" or "s"))
            info[#info + 1] = string.format("Noise %d", stop - offset)
            offset = stop
        end
    end
    return nil
end

local function showInfo(pinfo, info)
    if #info > 0 then
        local text = table.concat(info, ", ")
        -- A segment that ends one frame and holds the next comes in two
        -- calls, with the Info column fenced after the first: the second
        -- adds to it rather than run on from its last word.
        if tostring(pinfo.cols.protocol) == "Korvane" then
            pinfo.cols.info:append(", " .. text)
        else
            pinfo.cols.protocol = "Korvane"
            pinfo.cols.info = text
        end
    end
end

function korvane.dissector(tvb, pinfo, tree)
    local info = {}
    local rest, more = parse(tvb, tree, info)
    if rest then
        pinfo.desegment_offset = rest
        pinfo.desegment_len = more
    end
    showInfo(pinfo, info)
    return tvb:len()
end

local registeredPort = korvane.prefs.port
DissectorTable.get("tcp.port"):add(registeredPort, korvane)

function korvane.prefs_changed()
    if korvane.prefs.port ~= registeredPort then
        DissectorTable.get("tcp.port"):remove(registeredPort, korvane)
        registeredPort = korvane.prefs.port
        DissectorTable.get("tcp.port"):add(registeredPort, korvane)
    end
end

-- The serial link from korvane-sim --monitor: each packet is one read from
-- one line, its direction in the packet flags (A>B written as sent, B>A as
-- received). There is no TCP to put split frames together, so this does it:
-- the start of a frame that a packet leaves unfinished is carried to the
-- next packet of the same direction, and the frame is shown in the packet
-- that completes it, from a buffer that holds the bytes of both.
local serial = Proto("korvane_serial", "Korvane serial link")
local directions = { [0] = "A>B", [1] = "B>A" }

local carried = {} -- per direction: the unfinished frame's bytes so far
local joined = {}  -- per packet number: the bytes carried into it, then its own

function serial.init()
    carried = {}
    joined = {}
end

function serial.dissector(tvb, pinfo, tree)
    local direction = directions[pinfo.p2p_dir] or "?"
    -- Carried bytes are worked out once, on the first pass in packet order.
    if not pinfo.visited and carried[direction] then
        joined[pinfo.number] = carried[direction] .. tvb:bytes()
    end
    local data = tvb
    if joined[pinfo.number] then
        data = joined[pinfo.number]:tvb("Frame put together")
    end
    local root = tree:add(serial, tvb())
    root:add(pf.direction, tvb(), direction):set_generated()
    root:set_text("Korvane serial link, " .. direction)
    local info = {}
    local rest = parse(data, tree, info)
    if rest then
        local part = data:len() - rest
        tree:add(korvane, data(rest)):set_text(string.format("Korvane frame start, %d byte%s: completed in a later packet",
                                                              part, part == 1 and "" or "s"))
        info[#info + 1] = string.format("Frame start %d", part)
    end
    if not pinfo.visited then
        carried[direction] = rest and data(rest):bytes() or nil
    end
    pinfo.cols.src = direction:sub(1, 1)
    pinfo.cols.dst = direction:sub(3, 3)
    showInfo(pinfo, info)
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, serial)

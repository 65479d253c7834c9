-- Dissector for the Brindlex installation protocol (UDP port 5000): the
-- 20-byte header, the message, an announcement's disk label, an offer's
-- keep flag and a file header's name and size. See docs/install-protocol.md.
--
--   tshark -X lua_script:tools/wireshark/brindlex_install.lua -r capture.pcap
--   (or copy it into ~/.local/lib/wireshark/plugins/)

local proto = Proto("brindlex", "Brindlex installation protocol")

local kinds = { [0] = "text", [1] = "file data" }

local f = proto.fields
f.src = ProtoField.ether("brindlex.src", "Source MAC")
f.dst = ProtoField.ether("brindlex.dst", "Destination MAC")
f.flags = ProtoField.uint8("brindlex.flags", "Flags", base.HEX)
f.ack_flag = ProtoField.bool("brindlex.flags.ack", "Acknowledgement valid", 8, nil, 0x01)
f.kind = ProtoField.uint8("brindlex.kind", "Kind", base.DEC, kinds)
f.length = ProtoField.uint16("brindlex.length", "Payload length", base.DEC)
f.seq = ProtoField.uint16("brindlex.seq", "Sequence number", base.DEC)
f.ack = ProtoField.uint16("brindlex.ack", "Acknowledged number", base.DEC)
f.message = ProtoField.string("brindlex.message", "Message")
f.label = ProtoField.string("brindlex.label", "Disk label")
f.keep = ProtoField.bool("brindlex.keep", "Keep configuration")
f.file_name = ProtoField.string("brindlex.file.name", "File name")
f.file_size = ProtoField.uint32("brindlex.file.size", "File size", base.DEC)
f.data = ProtoField.bytes("brindlex.data", "File data")

local message_names = {
    DSCV = "announcement", OFFR = "offer", YACK = "acceptance", STRT = "start",
    FILE = "file header", TERM = "termination",
}

-- The payload's lines (without their line feeds) and whether each ended.
local function lines_of(text)
    local lines = {}
    local start = 1
    while start <= #text do
        local stop = text:find("\n", start, true)
        if not stop then
            table.insert(lines, { text:sub(start), false })
            break
        end
        table.insert(lines, { text:sub(start, stop - 1), true })
        start = stop + 1
    end
    return lines
end

function proto.dissector(buffer, pinfo, tree)
    if buffer:len() < 20 then return 0 end
    pinfo.cols.protocol = "BRINDLEX"
    local subtree = tree:add(proto, buffer(), "Brindlex installation protocol")
    subtree:add(f.src, buffer(0, 6))
    subtree:add(f.dst, buffer(6, 6))
    local flags_item = subtree:add(f.flags, buffer(12, 1))
    flags_item:add(f.ack_flag, buffer(12, 1))
    subtree:add(f.kind, buffer(13, 1))
    subtree:add_le(f.length, buffer(14, 2))
    subtree:add_le(f.seq, buffer(16, 2))
    local with_ack = bit.band(buffer(12, 1):uint(), 1) == 1
    local kind = buffer(13, 1):uint()
    local length = buffer(14, 2):le_uint()
    local seq = buffer(16, 2):le_uint()
    local ack = buffer(18, 2):le_uint()
    subtree:add_le(f.ack, buffer(18, 2))
    local available = buffer:len() - 20
    if length > available then length = available end

    local info
    if kind == 1 then
        subtree:add(f.message, "data")
        if length > 0 then subtree:add(f.data, buffer(20, length)) end
        info = string.format("data seq=%d len=%d", seq, length)
    elseif length == 0 then
        subtree:add(f.message, "acknowledgement")
        info = "acknowledgement"
    else
        local payload = buffer(20, length)
        local text = payload:string()
        local tag = text:sub(1, 4)
        subtree:add(f.message, payload(0, math.min(4, length)), tag)
        info = (message_names[tag] or "unknown") .. " " .. tag
        local lines = lines_of(text)
        if tag == "DSCV" and lines[4] and lines[4][2] then
            subtree:add(f.label, lines[4][1])
            info = info .. " label=" .. lines[4][1]
        elseif tag == "OFFR" then
            local keep = lines[3] ~= nil and lines[3][2] and lines[3][1] == "keep"
            subtree:add(f.keep, keep)
            if keep then info = info .. " keep" end
        elseif tag == "FILE" and lines[3] and lines[3][2] then
            subtree:add(f.file_name, lines[2][1])
            local size = tonumber(lines[3][1])
            if size then subtree:add(f.file_size, size) end
            info = info .. " " .. lines[2][1] .. " " .. lines[3][1]
        end
        info = info .. string.format(" seq=%d", seq)
    end
    if with_ack then info = info .. string.format(" ack=%d", ack) end
    pinfo.cols.info = info
    return buffer:len()
end

DissectorTable.get("udp.port"):add(5000, proto)

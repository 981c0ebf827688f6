-- Wireshark dissector for the Tarvik controller protocol over UDP.
--
-- Load it with   wireshark -X lua_script:tools/wireshark/tarvik.lua
--           or   tshark -X lua_script:tools/wireshark/tarvik.lua -r capture.pcapng
-- or copy it into ~/.local/lib/wireshark/plugins/ (the tarvik-tools package installs it into
-- Wireshark's global plugin folder). Preferences: tarvik.udp_port, the controller's UDP port
-- (700); tarvik.driver_port, the local port the driver binds where it can (500), where frames
-- of this protocol are taken before ISAKMP; tarvik.heuristic, finding the protocol on any other
-- port by its bytes (on); tarvik.types, the data types to decode values with (none);
-- tarvik.horizon, how long after its request an answer is still matched with it (2000 ms).
--
-- Frames (one per datagram, no checksum, no length prefix):
--   request  op 01 01 00 | area | address (24 bit) | length (24 bit) | write data
--            op = 01 read, 02 write
--   answer   op 01 xx xx | data          (a read answer repeats request bytes 0 and 1)
--   link check 04 01, answered with 04 01
-- The 24-bit fields go out as bits 16-23, then bits 0-7, then bits 8-15.
--
-- Nothing on the wire ties an answer to its request. A device answers requests in the order they
-- came, so an answer is matched with the oldest request from that driver endpoint still waiting
-- for one; an answer arriving while the driver waits for a later request is the hazard the Info
-- column flags as "taken for frame N": the driver takes it as that request's answer.

-- One copy registers the protocol when several are loaded (the package's, in Wireshark's plugin
-- folder, and one given with -X lua_script): the file TARVIK_DISSECTOR names, else the first.
local this_file = debug.getinfo(1, "S").source:gsub("^@", "")
local wanted = os.getenv("TARVIK_DISSECTOR")
local _, loaded = pcall(Dissector.get, "tarvik")
if (wanted and wanted ~= this_file) or (not wanted and loaded) then return end

local tarvik = Proto("tarvik", "Tarvik controller protocol")

---------------------------------------------------------------------------------------------
-- Tables

local OP_READ, OP_WRITE, OP_LINK = 0x01, 0x02, 0x04
local OPS = { [OP_READ] = "Read", [OP_WRITE] = "Write", [OP_LINK] = "Link check" }

local AREAS = {
    [1] = "DI", [2] = "DI_F", [3] = "DI_S", [4] = "DO", [5] = "DO_F", [6] = "DO_S",
    [7] = "AI", [8] = "AI_F", [9] = "AI_S", [10] = "AO", [11] = "AO_F", [12] = "AO_S",
    [13] = "SD", [14] = "SA", [15] = "NDI", [16] = "NDO", [17] = "NAI", [18] = "NAO",
    [19] = "HDS", [20] = "HDP", [21] = "HAI", [22] = "LD", [23] = "LA", [24] = "LW",
    [28] = "SI", [29] = "Custom",
}

-- Areas whose points are single bits: every bit travels as one byte, 00 or 01.
local BIT_AREAS = {}
for _, code in ipairs({ 1, 2, 3, 4, 5, 6, 13, 15, 16, 19, 20, 22 }) do BIT_AREAS[code] = true end

-- Point index times this factor is the address value of a memory request (reads and writes of
-- every type but Bool); Bool requests carry the index unscaled.
local SCALES = { [7] = 4, [8] = 4, [9] = 4, [10] = 4, [17] = 4, [18] = 4, [21] = 4, [23] = 4,
                 [24] = 4, [14] = 2, [28] = 256 }

local CLASSES = {}
for code in pairs(AREAS) do
    CLASSES[code] = BIT_AREAS[code] and "bit" or (SCALES[code] == 4 and "word")
        or (code == 14 or code == 29) and "two-byte" or (code == 28 and "256-byte slots") or "other"
end

local STRING_AREA, SLOT = 28, 256
local HEADER, ANSWER_HEADER = 11, 4
local CUT_LIMIT = 1468        -- the driver cuts answers within their first 4 + 1468 bytes
local DRIVER_WAIT = 0.350     -- seconds the driver waits for an answer over UDP (300 + 50 ms)
local INFO_VALUES = 8         -- values shown in the Info column, the rest as "..."

-- Element decoders for the tarvik.types preference: size in bytes, and the text of one element
-- (range, is_read_answer). The controller hands out 64-bit integers most significant byte
-- first and takes them least significant byte first; everything else is little-endian.
local function int64_of(big, little)
    return function(r, is_read) return tostring(is_read and r[big](r) or r[little](r)) end
end
-- A double with as many digits as it needs to read back the same, as tarvik-host prints it.
local function double_text(r)
    local x = r:le_float()
    local text = string.format("%.15g", x)
    return tonumber(text) == x and text or string.format("%.17g", x)
end
local VALUE_TYPES = {
    bool   = { 1, function(r) return r:uint() ~= 0 and "true" or "false" end },
    int8   = { 1, function(r) return tostring(r:int()) end },
    uint8  = { 1, function(r) return tostring(r:uint()) end },
    int16  = { 2, function(r) return tostring(r:le_int()) end },
    uint16 = { 2, function(r) return tostring(r:le_uint()) end },
    int32  = { 4, function(r) return tostring(r:le_int()) end },
    uint32 = { 4, function(r) return tostring(r:le_uint()) end },
    float  = { 4, function(r) return string.format("%.9g", r:le_float()) end },
    int64  = { 8, int64_of("int64", "le_int64") },
    uint64 = { 8, int64_of("uint64", "le_uint64") },
    double = { 8, double_text },
}

---------------------------------------------------------------------------------------------
-- Fields

local f = {
    kind      = ProtoField.string("tarvik.kind", "Frame"),
    op        = ProtoField.uint8("tarvik.op", "Operation", base.HEX, OPS),
    seq       = ProtoField.uint8("tarvik.seq", "Sequence byte", base.HEX),
    fixed     = ProtoField.uint16("tarvik.fixed", "Fixed bytes", base.HEX),
    reserved  = ProtoField.uint16("tarvik.reserved", "Answer bytes 2-3", base.HEX),
    area      = ProtoField.uint8("tarvik.area", "Area", base.DEC, AREAS),
    class     = ProtoField.string("tarvik.area_class", "Area class"),
    address   = ProtoField.uint24("tarvik.address", "Address", base.DEC),
    length    = ProtoField.uint24("tarvik.length", "Length", base.DEC),
    point     = ProtoField.uint32("tarvik.point", "Point number", base.DEC),
    tag       = ProtoField.string("tarvik.tag", "Tag"),
    data      = ProtoField.bytes("tarvik.data", "Data"),
    data_len  = ProtoField.uint32("tarvik.data_len", "Data bytes", base.DEC),
    bits      = ProtoField.string("tarvik.bits", "Bits (point order)"),
    items     = ProtoField.uint16("tarvik.items", "Text items", base.DEC),
    item      = ProtoField.bytes("tarvik.item", "Text item"),
    slot      = ProtoField.uint16("tarvik.slot", "Slot (point number)", base.DEC),
    text_len  = ProtoField.uint8("tarvik.text_len", "Text length", base.DEC),
    text      = ProtoField.string("tarvik.text", "Text"),
    surplus   = ProtoField.bytes("tarvik.surplus", "Surplus bytes"),
    linkcheck = ProtoField.bool("tarvik.linkcheck", "Link check"),
    answer    = ProtoField.bool("tarvik.answer", "Answer"),
    request_in = ProtoField.framenum("tarvik.request_in", "Request in", base.NONE,
                                     frametype.REQUEST),
    time      = ProtoField.relative_time("tarvik.time", "Time since request"),
    taken_by  = ProtoField.framenum("tarvik.taken_by", "Taken as the answer to", base.NONE,
                                    frametype.REQUEST),
    value     = ProtoField.string("tarvik.value", "Value"),
    value_type = ProtoField.string("tarvik.value_type", "Decoded as"),
}
tarvik.fields = {}
for _, field in pairs(f) do table.insert(tarvik.fields, field) end

local e = {
    wrong_seq = ProtoExpert.new("tarvik.wrong_seq", "Answer does not repeat the request's bytes 0 and 1",
                                expert.group.SEQUENCE, expert.severity.WARN),
    short     = ProtoExpert.new("tarvik.short", "Answer shorter than the request asked for",
                                expert.group.MALFORMED, expert.severity.WARN),
    surplus   = ProtoExpert.new("tarvik.surplus.expert", "Answer longer than the request asked for",
                                expert.group.PROTOCOL, expert.severity.NOTE),
    unmatched = ProtoExpert.new("tarvik.unmatched", "Answer without a pending request",
                                expert.group.SEQUENCE, expert.severity.NOTE),
    late      = ProtoExpert.new("tarvik.late", "Answer after the driver's wait",
                                expert.group.SEQUENCE, expert.severity.NOTE),
    taken     = ProtoExpert.new("tarvik.taken", "Late answer arriving while the driver waits for a later request",
                                expert.group.SEQUENCE, expert.severity.WARN),
    malformed = ProtoExpert.new("tarvik.malformed", "Malformed frame",
                                expert.group.MALFORMED, expert.severity.ERROR),
    write_len = ProtoExpert.new("tarvik.write_len", "Write data does not match the length field",
                                expert.group.MALFORMED, expert.severity.WARN),
}
tarvik.experts = { e.wrong_seq, e.short, e.surplus, e.unmatched, e.late, e.taken, e.malformed,
                   e.write_len }

tarvik.prefs.udp_port = Pref.uint("Controller UDP port", 700,
    "UDP port of the controller: datagrams to it are requests, datagrams from it answers")
tarvik.prefs.driver_port = Pref.uint("Driver's local UDP port", 500,
    "The driver binds this local port where it can (when the device's address is one of the "
    .. "host's own, as with a simulator on loopback); datagrams on it that look like this "
    .. "protocol are taken before the port's usual protocol (ISAKMP for 500). 0: off")
tarvik.prefs.heuristic = Pref.bool("Look for the protocol on other UDP ports", true,
    "Recognise requests, answers and link checks by their bytes on any UDP port")
tarvik.prefs.types = Pref.string("Value types", "",
    "Data types to decode values with, as TAG=TYPE or AREA=TYPE separated by commas, * for any "
    .. "other tag: AI_F12=Int16,LW=Int64,*=Int32. Types: Bool, Int8, UInt8, Int16, UInt16, "
    .. "Int32, UInt32, Float, Int64, UInt64, Double (the wire does not say which one a host asked for)")
tarvik.prefs.horizon = Pref.uint("Answer horizon (ms)", 2000,
    "An answer is matched with a request sent at most this long before it")

---------------------------------------------------------------------------------------------
-- State across frames. Filled on the first pass, in frame order; later passes (the GUI
-- redissecting a frame) read what was decided then.

-- driver endpoint > device address  ->  { waiting = requests without an answer yet, oldest
-- first; last = the latest request or link check sent }
local conversations
local decided   -- frame number  ->  { kind = "request"|"answer"|"linkcheck", req, during, ... }
local linkcheck -- endpoint pair  ->  source endpoint of an unanswered link check
local devices   -- "address:port" of endpoints seen receiving requests
local talking   -- "driver endpoint|device endpoint" of pairs seen exchanging requests or link checks
local types     -- the tarvik.types preference, parsed: tag or area name (or "*")  ->  type

-- "AI_F12=Int16, LW=Int64" as { AI_F12 = "int16", LW = "int64" }; unknown types are left out.
local function parse_types(text)
    local parsed = {}
    for key, name in string.gmatch(text or "", "([%w_%*]+)%s*=%s*(%a+%d*)") do
        if VALUE_TYPES[name:lower()] then parsed[key] = name:lower() end
    end
    return parsed
end

local function reset_state()
    conversations, decided, linkcheck, devices, talking = {}, {}, {}, {}, {}
    types = parse_types(tarvik.prefs.types)
end
reset_state()
tarvik.init = reset_state

local function endpoint(addr, port) return tostring(addr) .. ":" .. tostring(port) end

local function field24(tvb, offset)
    return tvb(offset, 1):uint() * 65536 + tvb(offset + 1, 1):uint() + tvb(offset + 2, 1):uint() * 256
end

local function is_text_write(area, length)
    return area == STRING_AREA and length >= SLOT and length % SLOT == 0
end

local function is_slot_read(area, length)
    return area == STRING_AREA and length >= SLOT and length % SLOT == 0
end

local function conversation(key)
    local conv = conversations[key]
    if not conv then
        conv = { waiting = {} }
        conversations[key] = conv
    end
    return conv
end

-- The driver sent a request (which waits for its answer) or a link check.
local function note_sent(key, sent, pinfo)
    talking[endpoint(pinfo.src, pinfo.src_port) .. "|" .. endpoint(pinfo.dst, pinfo.dst_port)] = true
    local conv = conversation(key)
    if not sent.linkcheck then table.insert(conv.waiting, sent) end
    conv.last = sent
end

-- Whether an answer of this size is exactly what a request asks for.
local function fits(req, tvb)
    if req.op == OP_WRITE then return tvb:len() == ANSWER_HEADER end
    return tvb:len() == ANSWER_HEADER + req.length
end

-- Which waiting request an answer is for: the oldest of the same operation (devices answer in
-- order), unless it does not fit the answer's size and a later one does.
local function pick(waiting, tvb)
    local op, oldest, oldest_fitting = tvb(0, 1):uint(), nil, nil
    for i, req in ipairs(waiting) do
        if req.op == op then
            oldest = oldest or i
            oldest_fitting = oldest_fitting or (fits(req, tvb) and i or nil)
        end
    end
    if oldest and oldest_fitting and not fits(waiting[oldest], tvb) then return oldest_fitting end
    return oldest or (#waiting > 0 and 1 or nil)
end

-- Matches an answer with its request. Returns the request (nil: none waits) and what the
-- driver was waiting for when it came, if that was something sent later.
local function match_answer(key, tvb, now)
    local conv = conversations[key]
    if not conv then return nil end
    local horizon = tarvik.prefs.horizon / 1000
    while #conv.waiting > 0 and now - conv.waiting[1].time > horizon do
        table.remove(conv.waiting, 1)
    end
    local i = pick(conv.waiting, tvb)
    if not i then return nil end
    local req = conv.waiting[i]
    -- Requests before it never got their answer: the device went on without them.
    for _ = 1, i do table.remove(conv.waiting, 1) end
    local during = conv.last
    if during == req or now - during.time > DRIVER_WAIT then during = nil end
    return req, during
end

-- Whether a datagram goes between a driver and a device already seen talking, either way.
local function known_conversation(pinfo)
    local src, dst = endpoint(pinfo.src, pinfo.src_port), endpoint(pinfo.dst, pinfo.dst_port)
    return talking[src .. "|" .. dst] or talking[dst .. "|" .. src] or false
end

-- The point number (counted from 1, as in tag addresses) a request's address names. Memory
-- requests scale it, Bool requests do not; an address that is no multiple of the scale can only
-- be a Bool request's.
local function point_of(area, address)
    local scale = SCALES[area] or 1
    if address % scale == 0 then return math.floor(address / scale) + 1 end
    return address + 1
end

-- Bytes a read answer must hold for the driver to accept it.
local function answer_needs(req, tvb)
    if not is_slot_read(req.area, req.length) then return ANSWER_HEADER + req.length end
    local needs = ANSWER_HEADER
    for k = 0, math.floor(req.length / SLOT) - 1 do
        local base = ANSWER_HEADER + SLOT * k
        needs = base + 1
        if base >= tvb:len() then break end
        needs = needs + tvb(base, 1):uint()
    end
    return needs
end

---------------------------------------------------------------------------------------------
-- Payloads

-- One byte per point, shown as a string of 0 and 1 (any other byte value as '?').
local function add_bits(tree, tvb, offset, count)
    if count <= 0 then return end
    local chars = {}
    for i = 0, count - 1 do
        local b = tvb(offset + i, 1):uint()
        chars[#chars + 1] = (b == 0 and "0") or (b == 1 and "1") or "?"
    end
    tree:add(f.bits, tvb(offset, count), table.concat(chars))
end

-- Text items of a write: a length byte, then that many characters (ISO 8859-1), back to back.
-- first is the point number (from 1) of the first slot.
local function add_text_items(tree, tvb, offset, items, first)
    local at = offset
    for k = 0, items - 1 do
        if at >= tvb:len() then return false end
        local n = tvb(at, 1):uint()
        local size = math.min(1 + n, tvb:len() - at)
        local item = tree:add(f.item, tvb(at, size))
        item:add(f.slot, first + k)
        item:add(f.text_len, tvb(at, 1))
        if size > 1 then item:add_packet_field(f.text, tvb(at + 1, size - 1), ENC_ISO_8859_1) end
        item:set_text(string.format("Text item SI%d: %d characters", first + k, n))
        if size < 1 + n then return false end
        at = at + size
    end
    return true
end

-- Slots of a read answer: 256 bytes each, a length byte, the text (UTF-8, up to its first zero
-- byte), unused bytes.
local function add_slots(tree, tvb, offset, slots, first)
    for k = 0, slots - 1 do
        local base = offset + SLOT * k
        if base >= tvb:len() then return end
        local n = tvb(base, 1):uint()
        local size = math.min(SLOT, tvb:len() - base)
        local item = tree:add(f.item, tvb(base, size))
        item:add(f.slot, first + k)
        item:add(f.text_len, tvb(base, 1))
        local chars = 0
        while chars < math.min(n, size - 1) and tvb(base + 1 + chars, 1):uint() ~= 0 do
            chars = chars + 1
        end
        if chars > 0 then item:add_packet_field(f.text, tvb(base + 1, chars), ENC_UTF_8) end
        item:set_text(string.format("Slot SI%d: %d characters", first + k, n))
    end
end

---------------------------------------------------------------------------------------------
-- Frames

local function tag_of(area, address)
    return AREAS[area] and string.format("%s%d", AREAS[area], point_of(area, address)) or nil
end

local function add_address_fields(tree, tvb, area, address, length)
    local class = CLASSES[area] or "other"
    tree:add(f.area, tvb(4, 1))
    tree:add(f.class, tvb(4, 1), class):set_generated()
    tree:add(f.address, tvb(5, 3), address)
    tree:add(f.length, tvb(8, 3), length)
    if AREAS[area] then
        tree:add(f.point, tvb(5, 3), point_of(area, address)):set_generated()
        tree:add(f.tag, tvb(4, 4), tag_of(area, address)):set_generated()
    end
end

-- An answer repeats nothing of its request: what it answers, taken from the request.
local function add_request_fields(tree, req)
    local item = tree:add(f.request_in, req.frame):set_generated()
    item:add(f.area, req.area):set_generated()
    item:add(f.class, CLASSES[req.area] or "other"):set_generated()
    item:add(f.address, req.address):set_generated()
    item:add(f.length, req.length):set_generated()
    if req.tag then
        item:add(f.point, point_of(req.area, req.address)):set_generated()
        item:add(f.tag, req.tag):set_generated()
    end
end

-- The type the tarvik.types preference names for a tag: by tag, else by area, else "*".
local function type_for(req)
    return req.tag and (types[req.tag] or types[AREAS[req.area]]) or types["*"]
end

-- Data decoded as the preference's type, one tarvik.value per whole element; returns the values
-- for the Info column ("" when no type applies). Bit areas and text slots have their own fields.
local function add_values(tree, tvb, offset, size, req, is_read)
    local name = type_for(req)
    if not name or BIT_AREAS[req.area] or req.area == STRING_AREA or size <= 0 then return "" end
    local width, decode = VALUE_TYPES[name][1], VALUE_TYPES[name][2]
    tree:add(f.value_type, name):set_generated()
    local shown = {}
    for k = 0, math.floor(size / width) - 1 do
        local text = decode(tvb(offset + k * width, width), is_read)
        tree:add(f.value, tvb(offset + k * width, width), text)
        if k < INFO_VALUES then shown[#shown + 1] = text end
        if k == INFO_VALUES then shown[#shown + 1] = "..." end
    end
    return #shown > 0 and (": " .. table.concat(shown, " ")) or ""
end

local function dissect_request(tvb, pinfo, tree)
    local op, area = tvb(0, 1):uint(), tvb(4, 1):uint()
    local address, length = field24(tvb, 5), field24(tvb, 8)
    local req = { op = op, area = area, address = address, length = length, frame = pinfo.number,
                  time = pinfo.rel_ts, tag = tag_of(area, address) }
    tree:add(f.kind, "request"):set_generated()
    tree:add(f.answer, false):set_generated()
    tree:add(f.op, tvb(0, 1))
    tree:add(f.seq, tvb(1, 1))
    tree:add(f.fixed, tvb(2, 2))
    add_address_fields(tree, tvb, area, address, length)

    local info = string.format("%s request %s, address %d, length %d", OPS[op],
        req.tag or string.format("area %d", area), address, length)
    local size = tvb:len() - HEADER
    if op == OP_READ then
        if size > 0 then
            tree:add_proto_expert_info(e.malformed, "A read request is 11 bytes")
        end
    elseif size > 0 or length > 0 then
        local range = size > 0 and tvb(HEADER, size) or tvb(HEADER - 1, 0)
        local data = tree:add(f.data, range)
        tree:add(f.data_len, size):set_generated()
        if is_text_write(area, length) then
            local items = math.floor(length / SLOT)
            data:add(f.items, items):set_generated()
            if not add_text_items(data, tvb, HEADER, items, math.floor(address / SLOT) + 1) then
                data:add_proto_expert_info(e.write_len, "The data ends inside a text item")
            end
            info = info .. string.format(", %d text item%s", items, items == 1 and "" or "s")
        elseif BIT_AREAS[area] then
            -- A memory write sends whole bytes' bits, a Bool write one byte per point.
            add_bits(data, tvb, HEADER, size)
            if size ~= length and size ~= 8 * math.floor(length / 8) then
                data:add_proto_expert_info(e.write_len)
            end
            info = info .. string.format(", %d bits", size)
        else
            if size ~= length then data:add_proto_expert_info(e.write_len) end
            info = info .. string.format(", %d data bytes", size)
                .. add_values(data, tvb, HEADER, size, req, false)
        end
    end
    pinfo.cols.info:set(info)
    return req
end

-- The flags of an answer the driver does not take as it stands, for the tree and the Info
-- column. Each returns the Info flag, or nil.
local function flag_timing(tree, pinfo, req, during)
    if not req then
        tree:add_proto_expert_info(e.unmatched,
            "No request from this peer is waiting: the driver discards it before its next send "
            .. "(or drops it, when it comes from an address it did not send to)")
        return "[no request]"
    end
    local dt = pinfo.rel_ts - req.time
    if during and not during.linkcheck then
        tree:add(f.taken_by, during.frame):set_generated()
        tree:add_proto_expert_info(e.taken, string.format(
            "Answer to frame %d arriving %.3f s after it, while the driver waits for the answer to "
            .. "frame %d: nothing in it tells them apart, so the driver takes it as that request's "
            .. "answer", req.frame, dt, during.frame))
        return string.format("[late, taken for frame %d]", during.frame)
    end
    if dt > DRIVER_WAIT then
        local during_text = during and string.format(
            " (it arrives during the link check of frame %d, which discards it)", during.frame) or ""
        tree:add_proto_expert_info(e.late, string.format(
            "Answer %.3f s after its request: the driver has given up by then%s", dt, during_text))
        return "[late]"
    end
end

local function flag_content(tree, tvb, req)
    if not req or req.op ~= OP_READ then return nil end
    if tvb:len() < 2 or tvb(0, 1):uint() ~= req.op or tvb(1, 1):uint() ~= 0x01 then
        tree:add_proto_expert_info(e.wrong_seq,
            "The driver refuses it (result 8) with a wrong sequence number warning")
        return "[wrong sequence]"
    end
    local needs = answer_needs(req, tvb)
    if tvb:len() < needs then
        tree:add_proto_expert_info(e.short, string.format(
            "%d bytes where the driver needs %d: it refuses the answer (result 8)", tvb:len(), needs))
        return "[short]"
    end
end

local function flag_surplus(tree, tvb, req)
    if not req or req.op ~= OP_READ or req.length >= CUT_LIMIT then return nil end
    local size, asked = tvb:len() - ANSWER_HEADER, req.length
    if size <= asked then return nil end
    tree:add(f.surplus, tvb(ANSWER_HEADER + asked, size - asked))
    tree:add_proto_expert_info(e.surplus, string.format(
        "%d bytes beyond the %d asked for: the driver cuts them off", size - asked, asked))
    return string.format("[surplus %d byte%s]", size - asked, size - asked == 1 and "" or "s")
end

-- Read data laid out as its request asked: text slots, bits, or values of the preference's type.
local function add_read_data(data, tvb, size, req)
    local asked = req.length
    if is_slot_read(req.area, asked) then
        add_slots(data, tvb, ANSWER_HEADER, math.floor(asked / SLOT), math.floor(req.address / SLOT) + 1)
    elseif BIT_AREAS[req.area] then
        add_bits(data, tvb, ANSWER_HEADER, math.min(size, asked))
    else
        return add_values(data, tvb, ANSWER_HEADER, math.min(size, asked), req, true)
    end
    return ""
end

local function dissect_answer(tvb, pinfo, tree, req, during)
    local op = tvb(0, 1):uint()
    tree:add(f.kind, "answer"):set_generated()
    tree:add(f.answer, true):set_generated()
    tree:add(f.op, tvb(0, 1))
    if tvb:len() >= 2 then tree:add(f.seq, tvb(1, 1)) end
    if tvb:len() >= 4 then tree:add(f.reserved, tvb(2, 2)) end

    local info = string.format("%s answer", OPS[op] or string.format("0x%02x", op))
    if req then
        add_request_fields(tree, req)
        local dt = pinfo.rel_ts - req.time
        local secs = math.floor(dt)
        tree:add(f.time, NSTime(secs, math.floor((dt - secs) * 1e9))):set_generated()
        info = string.format("%s %s (request in frame %d)", info,
            req.tag or string.format("area %d", req.area), req.frame)
    end

    local size = tvb:len() - ANSWER_HEADER
    local values = ""
    if size > 0 then
        local data = tree:add(f.data, tvb(ANSWER_HEADER, size))
        tree:add(f.data_len, size):set_generated()
        if req and req.op == OP_READ then values = add_read_data(data, tvb, size, req) end
    elseif tvb:len() >= ANSWER_HEADER then
        tree:add(f.data_len, 0):set_generated()
    end
    info = info .. string.format(", %d data byte%s", math.max(size, 0), size == 1 and "" or "s") .. values

    for _, flag in ipairs({ flag_timing(tree, pinfo, req, during) or false,
                            flag_content(tree, tvb, req) or false,
                            flag_surplus(tree, tvb, req) or false }) do
        if flag then info = info .. " " .. flag end
    end
    pinfo.cols.info:set(info)
end

local function dissect_linkcheck(tvb, pinfo, tree, is_answer)
    tree:add(f.kind, is_answer and "link check answer" or "link check request"):set_generated()
    tree:add(f.linkcheck, tvb(0, 2), true)
    tree:add(f.answer, is_answer):set_generated()
    tree:add(f.op, tvb(0, 1))
    tree:add(f.seq, tvb(1, 1))
    pinfo.cols.info:set(is_answer and "Link check answer" or "Link check request")
end

---------------------------------------------------------------------------------------------
-- What a datagram is

local function looks_like_linkcheck(tvb)
    return tvb:len() == 2 and tvb(0, 1):uint() == OP_LINK and tvb(1, 1):uint() == 0x01
end

-- The fixed request header: op 01 or 02, then 01 01 00.
local function request_shaped(tvb)
    if tvb:len() < HEADER then return false end
    local op = tvb(0, 1):uint()
    return (op == OP_READ or op == OP_WRITE) and tvb(1, 1):uint() == 0x01
        and tvb(2, 1):uint() == 0x01 and tvb(3, 1):uint() == 0x00
end

-- A request as the driver sends them: a read is exactly its 11-byte header.
local function looks_like_request(tvb)
    return request_shaped(tvb) and (tvb(0, 1):uint() == OP_WRITE or tvb:len() == HEADER)
end

local function looks_like_answer(tvb)
    if tvb:len() < 2 then return false end
    local op = tvb(0, 1):uint()
    return (op == OP_READ or op == OP_WRITE) and not request_shaped(tvb)
end

-- A link check looks the same both ways: the first of a pair of endpoints is the request, the
-- next one coming back is the answer.
local function linkcheck_is_answer(pinfo)
    local src, dst = endpoint(pinfo.src, pinfo.src_port), endpoint(pinfo.dst, pinfo.dst_port)
    local pair = src < dst and (src .. "|" .. dst) or (dst .. "|" .. src)
    if linkcheck[pair] and linkcheck[pair] ~= src then
        linkcheck[pair] = nil
        return true
    end
    linkcheck[pair] = src
    return false
end

-- Classifies a datagram on the first pass: "request", "answer" or "linkcheck" with its
-- direction. to_device is true, false or nil (the ports do not tell).
local function classify(tvb, pinfo, to_device)
    if looks_like_linkcheck(tvb) then
        local is_answer
        if to_device == nil then is_answer = linkcheck_is_answer(pinfo) else is_answer = not to_device end
        if not is_answer then
            note_sent(endpoint(pinfo.src, pinfo.src_port) .. ">" .. tostring(pinfo.dst),
                      { linkcheck = true, frame = pinfo.number, time = pinfo.rel_ts }, pinfo)
        end
        return { kind = "linkcheck", answer = is_answer }
    end
    local kind
    if to_device == true then kind = "request"
    elseif to_device == false then kind = "answer"
    elseif request_shaped(tvb) then kind = "request"
    else kind = "answer" end

    -- Answers come to the driver's endpoint from the device's address, from any of its ports.
    if kind == "request" then
        devices[endpoint(pinfo.dst, pinfo.dst_port)] = true
        return { kind = kind, key = endpoint(pinfo.src, pinfo.src_port) .. ">" .. tostring(pinfo.dst) }
    end
    local req, during = match_answer(endpoint(pinfo.dst, pinfo.dst_port) .. ">" .. tostring(pinfo.src),
                                     tvb, pinfo.rel_ts)
    return { kind = kind, req = req, during = during }
end

local function dissect(tvb, pinfo, root, to_device)
    pinfo.cols.protocol:set("Tarvik")
    local tree = root:add(tarvik, tvb())
    if tvb:len() < 2 then
        decided[pinfo.number] = decided[pinfo.number] or { kind = "short" }
        tree:add_proto_expert_info(e.malformed, "Too short for any frame")
        return tvb:len()
    end

    local d = decided[pinfo.number]
    if not pinfo.visited or not d then
        d = classify(tvb, pinfo, to_device)
        decided[pinfo.number] = d
    end

    if d.kind == "linkcheck" then
        dissect_linkcheck(tvb, pinfo, tree, d.answer)
    elseif d.kind == "request" then
        if not request_shaped(tvb) then
            tree:add(f.kind, "request"):set_generated()
            tree:add(f.op, tvb(0, 1))
            tree:add_proto_expert_info(e.malformed,
                "Not a request: requests begin 01 01 01 00 (read) or 02 01 01 00 (write)")
            pinfo.cols.info:set("Malformed request")
            return tvb:len()
        end
        local req = dissect_request(tvb, pinfo, tree)
        if not pinfo.visited then note_sent(d.key, req, pinfo) end
    else
        dissect_answer(tvb, pinfo, tree, d.req, d.during)
    end
    return tvb:len()
end

---------------------------------------------------------------------------------------------
-- Registration

local udp_port_table = DissectorTable.get("udp.port")

-- Whether a datagram on a port not registered for the protocol is one of its frames.
local function recognised(tvb, pinfo)
    if looks_like_linkcheck(tvb) or looks_like_request(tvb) then return true end
    if pinfo.visited then return decided[pinfo.number] ~= nil end
    -- An answer only where a request went before, from that device's address.
    local conv = conversations[endpoint(pinfo.dst, pinfo.dst_port) .. ">" .. tostring(pinfo.src)]
    return looks_like_answer(tvb) and tvb:len() >= ANSWER_HEADER and conv ~= nil and #conv.waiting > 0
end

-- An ISAKMP message as the port's usual protocol would take it: a 28-byte header at least,
-- major version 1 or 2, and a length field that is the datagram's length.
local function looks_like_isakmp(tvb)
    if tvb:len() < 28 then return false end
    local major = math.floor(tvb(17, 1):uint() / 16)
    return (major == 1 or major == 2) and tvb(24, 4):uint() == tvb:len()
end

-- The direction where only learned endpoints can tell it: for the link check.
local function learned_direction(tvb, pinfo)
    if not looks_like_linkcheck(tvb) then return nil end
    if devices[endpoint(pinfo.dst, pinfo.dst_port)] then return true end
    if devices[endpoint(pinfo.src, pinfo.src_port)] then return false end
    return nil
end

-- The dissector that had the driver's port before us, for the datagrams that are not ours.
local driver_port_previous = {}

function tarvik.dissector(tvb, pinfo, root)
    local port = tarvik.prefs.udp_port
    if pinfo.dst_port == port and pinfo.src_port ~= port then return dissect(tvb, pinfo, root, true) end
    if pinfo.src_port == port and pinfo.dst_port ~= port then return dissect(tvb, pinfo, root, false) end
    if pinfo.src_port == port then return dissect(tvb, pinfo, root, nil) end
    -- Reached through the driver's own port: ours when the bytes say so, when a driver and its
    -- device talk there (late, garbled and stray answers included), and whenever the port's usual
    -- protocol could not take it anyway; only what is ISAKMP-shaped and belongs to no driver
    -- goes to ISAKMP.
    local previous = driver_port_previous[tarvik.prefs.driver_port]
    local ours
    if pinfo.visited then
        ours = decided[pinfo.number] ~= nil
    else
        ours = recognised(tvb, pinfo) or known_conversation(pinfo) or not looks_like_isakmp(tvb)
    end
    if ours or not previous then
        return dissect(tvb, pinfo, root, learned_direction(tvb, pinfo))
    end
    return previous:call(tvb, pinfo, root)
end

local function heuristic(tvb, pinfo, root)
    if not tarvik.prefs.heuristic or not recognised(tvb, pinfo) then return false end
    dissect(tvb, pinfo, root, learned_direction(tvb, pinfo))
    return true
end

local registered = {}

local function register_ports()
    for port in pairs(registered) do
        udp_port_table:remove(port, tarvik)
        if driver_port_previous[port] then udp_port_table:add(port, driver_port_previous[port]) end
    end
    registered, driver_port_previous = {}, {}
    local driver_port = tarvik.prefs.driver_port
    if driver_port ~= 0 and driver_port ~= tarvik.prefs.udp_port then
        driver_port_previous[driver_port] = udp_port_table:get_dissector(driver_port)
        udp_port_table:add(driver_port, tarvik)
        registered[driver_port] = true
    end
    if tarvik.prefs.udp_port ~= 0 then
        udp_port_table:add(tarvik.prefs.udp_port, tarvik)
        registered[tarvik.prefs.udp_port] = true
    end
end

register_ports()
tarvik:register_heuristic("udp", heuristic)
tarvik.prefs_changed = register_ports

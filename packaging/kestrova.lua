-- Wireshark dissector for the captures of kestrova-comtest and of
-- `kestrova-probe --monitor --capture`: link type 252 (exported PDU) with the
-- dissector name "kestrova", a 16-byte header, then one frame of the RS-485
-- instrument protocol as it was on the line.
--
-- Header (big-endian): version, direction (1 request, 2 reply, 3 sent,
-- 4 received, 5 unframed), direction line (0 none, 1 RTS, 2 DTR), its level
-- at the write, the idle gap before the frame in µs (0xffffffff unknown), the
-- frame's span from first to last bit in µs, the reply time-out in ms, and
-- two reserved bytes.
--
-- A request is paired with what follows it within the time-out, as the
-- monitor pairs them, and the two link to each other. Frames that do not
-- parse are shown as malformed bytes, never as an error of this dissector.

local p = Proto("kestrova", "Kestrova RS-485 仪表协议")

local DC1, DC2, DC3, DC4 = 0x11, 0x12, 0x13, 0x14
local STX, ETX, ETB, US, ACK, NAK = 0x02, 0x03, 0x17, 0x1f, 0x06, 0x15
local HEADER = 16
local UNKNOWN = 0xffffffff

local directions = { [1] = "请求", [2] = "回复", [3] = "发送", [4] = "接收", [5] = "未成帧" }
local lines = { [0] = "无", [1] = "RTS", [2] = "DTR" }
local functions = { [DC1] = "pv", [DC2] = "param", [DC3] = "write" }

local f = {
    version = ProtoField.uint8("kestrova.version", "格式版本"),
    direction = ProtoField.uint8("kestrova.direction", "方向", base.DEC, directions),
    line = ProtoField.uint8("kestrova.line", "方向控制线", base.DEC, lines),
    level = ProtoField.uint8("kestrova.level", "写入时电平", base.DEC, { [0] = "断开", [1] = "接通" }),
    gap = ProtoField.uint32("kestrova.gap", "之前空闲（µs）"),
    span = ProtoField.uint32("kestrova.span", "帧时长（µs）"),
    timeout = ProtoField.uint16("kestrova.timeout", "超时（ms）"),
    kind = ProtoField.string("kestrova.kind", "种类"),
    func = ProtoField.string("kestrova.function", "功能"),
    concentrator = ProtoField.string("kestrova.concentrator", "集中器地址"),
    address = ProtoField.string("kestrova.address", "地址"),
    channel = ProtoField.string("kestrova.channel", "通道"),
    parameter = ProtoField.string("kestrova.parameter", "参数"),
    value = ProtoField.string("kestrova.value", "值"),
    sum = ProtoField.string("kestrova.sum", "校验和（帧中）"),
    sum_computed = ProtoField.string("kestrova.sum_computed", "校验和（计算）"),
    verdict = ProtoField.string("kestrova.verdict", "判定"),
    turnaround = ProtoField.double("kestrova.turnaround", "往返时间（ms）"),
    response_in = ProtoField.framenum("kestrova.response_in", "回复在", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("kestrova.request_in", "请求在", base.NONE, frametype.REQUEST),
    bytes = ProtoField.bytes("kestrova.bytes", "未成帧字节"),
}
p.fields = {}
for _, field in pairs(f) do table.insert(p.fields, field) end

local malformed = ProtoExpert.new("kestrova.malformed", "帧不完整或格式错误",
    expert.group.MALFORMED, expert.severity.WARN)
local failed = ProtoExpert.new("kestrova.failed", "交换失败",
    expert.group.RESPONSE_CODE, expert.severity.NOTE)
p.experts = { malformed, failed }

-- What the first pass found, by frame number: pairing needs every frame in
-- order, the display any frame at any time.
local seen = {}
local pending = nil

function p.init()
    seen = {}
    pending = nil
end

local function str(b, from, to) -- bytes from..to, 0-based inclusive
    if from < 0 or to >= #b or to < from then return nil end
    return b:sub(from + 1, to + 1)
end

local function byte(b, i) -- 0-based
    return b:byte(i + 1)
end

local function find(b, code, from) -- 0-based index, or nil
    for i = from or 0, #b - 1 do
        if b:byte(i + 1) == code then return i end
    end
    return nil
end

local function digits_value(s)
    if not s or not s:match("^%d+$") then return nil end
    return tonumber(s)
end

-- The five characters the console shows for a sum: digits as code 48 + digit,
-- the first one beyond '9' where the sum needs it.
local function sum_text(v)
    local out = {}
    local p10 = 10000
    local r = v
    for _ = 1, 4 do
        local q = math.floor(r / p10)
        if 48 + q > 127 then return tostring(v) end
        out[#out + 1] = string.char(48 + q)
        r = r - q * p10
        p10 = p10 / 10
    end
    out[#out + 1] = string.char(48 + r)
    return table.concat(out)
end

-- A request: its head, its parameter and, for a write, value and sum.
local function parse_request(b)
    local r = {}
    local f0 = 0
    if byte(b, 0) == DC4 then
        r.concentrator = str(b, 1, 2)
        f0 = 3
    end
    r.func = functions[byte(b, f0) or 0]
    r.address = str(b, f0 + 1, f0 + 3)
    r.channel = str(b, f0 + 4, f0 + 5)
    if r.func ~= "pv" and byte(b, f0 + 6) == US then r.parameter = str(b, f0 + 7, f0 + 8) end
    local etx = find(b, ETX)
    r.ok = r.func ~= nil and r.address ~= nil and r.channel ~= nil and etx ~= nil
        and digits_value(r.address) ~= nil and digits_value(r.channel) ~= nil
    if r.func == "write" and etx and etx >= f0 + 15 then
        r.sum = str(b, etx - 5, etx - 1)
        local total = 0
        for i = 0, etx - 6 do total = total + byte(b, i) end
        r.sum_computed = sum_text(total)
        local us = etx - 6
        if byte(b, us) == US and f0 + 10 <= us then r.value = str(b, f0 + 10, us - 1) end
    end
    return r
end

-- A reply, judged as the console judges recbuf: the frame from the first
-- start marker to the first ETB, the five characters before the ETB as the
-- sum, non-digits counting as 0.
local function parse_reply(b, marker, loose)
    local r = {}
    local etb = find(b, ETB)
    local m = find(b, marker)
    if etb and etb >= 10 and m then
        r.frame = true
        r.etb = etb
        r.sum = str(b, etb - 5, etb - 1)
        local received = 0
        for i = etb - 5, etb - 1 do
            local c = byte(b, i)
            received = received * 10 + ((c >= 48 and c <= 57) and (c - 48) or 0)
        end
        local computed = 0
        if m <= etb - 6 then
            for i = m, etb - 6 do computed = computed + byte(b, i) end
        end
        r.sum_computed = sum_text(computed)
        r.verdict = computed == received and "ok" or "err"
        local stx = find(b, STX)
        if stx and stx < etb and stx + 6 <= etb then
            r.stx = stx
            r.address = str(b, stx + 1, stx + 3)
            r.channel = str(b, stx + 4, stx + 5)
            if marker == DC4 then
                for i = stx, 0, -1 do
                    if byte(b, i) == DC4 then
                        if i + 3 <= stx then r.concentrator = str(b, i + 1, i + 2) end
                        break
                    end
                end
            end
        end
        if stx then
            local e = find(b, ETB, stx)
            if e and e - 5 >= stx + 6 then
                local data = b:sub(stx + 7, e - 5)
                r.value = data:match(".*\31(.*)$") or data
            end
        end
    elseif #b == 1 and byte(b, 0) == ACK or loose and find(b, ACK) then
        r.verdict = "ack"
    elseif #b == 1 and byte(b, 0) == NAK or loose and find(b, NAK) then
        r.verdict = "nak"
    else
        r.verdict = "garbled"
    end
    return r
end

-- The first pass: pairing in frame order, as the monitor does.
local function pair(n, t, dir, timeout, span, b)
    local s = { t = t, dir = dir }
    seen[n] = s
    local function close_pending()
        pending = nil
    end
    if pending and t - pending.finish >= timeout then close_pending() end
    if dir == 1 or dir == 3 then
        s.request = parse_request(b)
        s.verdict = "timeout"
        s.finish = t + span
        pending = s
        pending.n = n
        return
    end
    local marker = STX
    if dir == 2 then
        marker = byte(b, 0) == DC4 and DC4 or STX
    elseif pending and pending.request.concentrator then
        marker = DC4
    end
    local r = dir == 5 and { verdict = "garbled" } or parse_reply(b, marker, dir == 4)
    s.reply = r
    local asked = pending and pending.request
    if r.frame and r.address then
        local ours = asked and r.address == asked.address and r.channel == asked.channel
            and (marker ~= DC4 or r.concentrator == asked.concentrator)
        if not pending or (r.verdict == "ok" and not ours) then
            s.verdict = "stray"
            return
        end
    end
    if not pending then
        s.verdict = r.verdict == "garbled" and "garbled" or "stray"
        return
    end
    s.verdict = r.verdict
    s.request_in = pending.n
    s.turnaround = (t - pending.finish) * 1000
    pending.verdict = r.verdict
    pending.response_in = n
    pending.turnaround = s.turnaround
    if r.verdict == "ok" and asked.func ~= "write" then pending.value = r.value end
    close_pending()
end

local function add_text(tree, field, tvb, from, len, text)
    if text == nil then return end
    if from and len and len > 0 and from + len <= tvb:len() then
        tree:add(field, tvb(from, len), text)
    else
        tree:add(field, text)
    end
end

function p.dissector(tvb, pinfo, root)
    pinfo.cols.protocol = "KESTROVA"
    local tree = root:add(p, tvb())
    if tvb:len() < HEADER then
        tree:add_proto_expert_info(malformed, "头部不足 16 字节")
        return
    end
    local dir = tvb(1, 1):uint()
    local gap = tvb(4, 4):uint()
    local span = tvb(8, 4):uint()
    local timeout = tvb(12, 2):uint()
    tree:add(f.version, tvb(0, 1))
    tree:add(f.direction, tvb(1, 1))
    tree:add(f.line, tvb(2, 1))
    if tvb(2, 1):uint() ~= 0 then tree:add(f.level, tvb(3, 1)) end
    if gap ~= UNKNOWN then tree:add(f.gap, tvb(4, 4)) end
    tree:add(f.span, tvb(8, 4))
    tree:add(f.timeout, tvb(12, 2))
    local body = tvb:range(HEADER):tvb()
    local b = body:raw()
    local t = pinfo.abs_ts
    if not pinfo.visited and seen[pinfo.number] == nil then
        pair(pinfo.number, t, dir, (timeout > 0 and timeout or 250) / 1000, span / 1e6, b)
    end
    local s = seen[pinfo.number] or {}
    local info
    if s.request then
        local r = s.request
        local off = r.concentrator and 3 or 0
        tree:add(f.kind, "request")
        add_text(tree, f.func, body, off, 1, r.func)
        if r.concentrator then add_text(tree, f.concentrator, body, 1, 2, r.concentrator) end
        add_text(tree, f.address, body, off + 1, 3, r.address)
        add_text(tree, f.channel, body, off + 4, 2, r.channel)
        add_text(tree, f.parameter, body, off + 7, 2, r.parameter)
        add_text(tree, f.sum, nil, nil, nil, r.sum)
        add_text(tree, f.sum_computed, nil, nil, nil, r.sum_computed)
        if not r.ok then tree:add_proto_expert_info(malformed) end
        info = string.format("请求 %s %s/%s", r.func or "?", r.address or "?", r.channel or "?")
        if r.func == "write" then
            add_text(tree, f.value, nil, nil, nil, r.value)
        elseif s.value then
            tree:add(f.value, s.value)
        end
    elseif s.reply then
        local r = s.reply
        tree:add(f.kind, dir == 5 and "unframed" or (r.frame and "reply") or
            ((r.verdict == "ack" or r.verdict == "nak") and r.verdict) or "unframed")
        if r.concentrator then add_text(tree, f.concentrator, nil, nil, nil, r.concentrator) end
        local at = r.stx
        add_text(tree, f.address, body, at and at + 1, 3, r.address)
        add_text(tree, f.channel, body, at and at + 4, 2, r.channel)
        add_text(tree, f.value, body, r.value and r.etb and r.etb - 5 - #r.value, r.value and #r.value,
            r.value)
        add_text(tree, f.sum, body, r.etb and r.etb - 5, 5, r.sum)
        add_text(tree, f.sum_computed, nil, nil, nil, r.sum_computed)
        if r.verdict == "garbled" then
            tree:add(f.bytes, body())
            tree:add_proto_expert_info(malformed)
        end
        info = string.format("回复 %s", (r.address and (r.address .. "/" .. (r.channel or "?")) or ""))
    end
    if s.verdict then
        tree:add(f.verdict, s.verdict)
        if s.verdict ~= "ok" and s.verdict ~= "ack" then tree:add_proto_expert_info(failed) end
        info = (info or "") .. " " .. s.verdict
    end
    if s.turnaround then tree:add(f.turnaround, math.floor(s.turnaround * 1000 + 0.5) / 1000) end
    if s.response_in then tree:add(f.response_in, s.response_in) end
    if s.request_in then tree:add(f.request_in, s.request_in) end
    pinfo.cols.info = info or directions[dir] or "?"
end

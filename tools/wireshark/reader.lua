-- Wireshark dissector for the reader's frame protocol on its vendor-class
-- USB interface, in captures of the USBPcap link type (readerctl --pcap, the
-- IFD handler's pcap= key, or USBPcap on Windows).
--
-- Both frame generations: the old one (type, 24-bit length, information
-- field) and the new one (address, control byte, one-byte length,
-- information field, check byte), reader commands and their replies, the
-- reader's error reply, T=0 card frames (two-byte length) with the card's
-- procedure bytes, T=1 blocks (ISO/IEC 7816-3 clause 11.3), the ATR, and
-- the APDUs, which go on to Wireshark's own ISO 7816 dissector.
--
-- The driver writes every request in one bulk OUT transfer; a reply may
-- come in several IN transfers, and is put together here by the length its
-- header announces, read the way the request it answers implies.
--
--   tshark -X lua_script:reader.lua -r capture.pcapng
--   tshark -X lua_script:reader.lua -r capture.pcapng -Y rdr -T fields -e rdr.summary

local rdr = Proto("rdr", "Smart-card reader frames")

local commands = {
  [0x31] = "status", [0x35] = "get ATR", [0x39] = "eject", [0x41] = "set-up, step 2",
  [0xB0] = "command B0", [0xC0] = "firmware version", [0xD0] = "set-up, step 1", [0xD1] = "card reset",
  [0xD2] = "transfer status", [0xD3] = "transfer result", [0xD8] = "command D8",
}
local error_codes = {
  [1] = "bad check byte", [2] = "unknown command", [3] = "bad length", [4] = "no card",
  [5] = "card not powered", [6] = "unknown frame", [7] = "no result",
}
local r_errors = { [0] = "error-free", [1] = "check-byte error", [2] = "other error" }
local s_types = { [0] = "RESYNCH", [1] = "IFS", [2] = "ABORT", [3] = "WTX" }
local generations = { [0] = "old", [1] = "new" }

local f = rdr.fields
f.summary = ProtoField.string("rdr.summary", "Summary")
f.generation = ProtoField.uint8("rdr.generation", "Generation", base.DEC, generations)
f.type = ProtoField.uint8("rdr.type", "Type or address byte", base.HEX)
f.control = ProtoField.uint8("rdr.control", "Control byte", base.HEX)
f.length = ProtoField.uint32("rdr.length", "Length")
f.info = ProtoField.bytes("rdr.info", "Information field")
f.command = ProtoField.uint8("rdr.command", "Command", base.HEX, commands)
f.params = ProtoField.bytes("rdr.params", "Parameters")
f.lead = ProtoField.bytes("rdr.lead", "Leading bytes")
f.data = ProtoField.bytes("rdr.data", "Data")
f.status = ProtoField.uint8("rdr.reader_status", "Reader status", base.HEX)
f.state = ProtoField.uint8("rdr.transfer_state", "Transfer state")
f.version = ProtoField.string("rdr.version", "Version text")
f.atr = ProtoField.bytes("rdr.atr", "ATR")
f.sw = ProtoField.uint16("rdr.sw", "Status bytes", base.HEX)
f.error = ProtoField.uint8("rdr.error", "Error code", base.HEX, error_codes, 0x0F)
f.check = ProtoField.uint8("rdr.check", "Check byte", base.HEX)
f.check_valid = ProtoField.bool("rdr.check.valid", "Check byte valid")
f.t0_header = ProtoField.bytes("rdr.t0.header", "TPDU header")
f.t0_procedure = ProtoField.uint8("rdr.t0.procedure", "Procedure byte", base.HEX)
f.t1_nad = ProtoField.uint8("rdr.t1.nad", "NAD", base.HEX)
f.t1_pcb = ProtoField.uint8("rdr.t1.pcb", "PCB", base.HEX)
f.t1_block = ProtoField.string("rdr.t1.block", "Block")
f.t1_ns = ProtoField.uint8("rdr.t1.ns", "N(S)", base.DEC, nil, 0x40)
f.t1_more = ProtoField.bool("rdr.t1.more", "More data (M)", 8, nil, 0x20)
f.t1_nr = ProtoField.uint8("rdr.t1.nr", "N(R)", base.DEC, nil, 0x10)
f.t1_error = ProtoField.uint8("rdr.t1.error", "Error", base.DEC, r_errors, 0x0F)
f.t1_response = ProtoField.bool("rdr.t1.response", "Response", 8, nil, 0x20)
f.t1_stype = ProtoField.uint8("rdr.t1.stype", "S-block type", base.DEC, s_types, 0x1F)
f.t1_len = ProtoField.uint8("rdr.t1.len", "LEN")
f.t1_inf = ProtoField.bytes("rdr.t1.inf", "INF")
f.t1_lrc = ProtoField.uint8("rdr.t1.lrc", "LRC", base.HEX)
f.t1_lrc_valid = ProtoField.bool("rdr.t1.lrc.valid", "LRC valid")
f.fragment = ProtoField.uint32("rdr.fragment", "Part of a reply: bytes so far")
f.reassembled_in = ProtoField.framenum("rdr.reassembled_in", "Reply completed in")
f.pieces = ProtoField.uint8("rdr.pieces", "Transfers the frame came in")
f.apdu_length = ProtoField.uint32("rdr.apdu_length", "APDU length (a T=1 chain put together)")

local e_check = ProtoExpert.new("rdr.check.bad", "Wrong check byte", expert.group.CHECKSUM, expert.severity.WARN)
local e_error = ProtoExpert.new("rdr.error_reply", "The reader refused the frame", expert.group.RESPONSE_CODE,
  expert.severity.NOTE)
local e_null = ProtoExpert.new("rdr.t0.null", "NULL procedure byte: the card asks for more time",
  expert.group.SEQUENCE, expert.severity.CHAT)
local e_length = ProtoExpert.new("rdr.length.bad", "Length does not match the header", expert.group.MALFORMED,
  expert.severity.WARN)
rdr.experts = { e_check, e_error, e_null, e_length }

local f_direction = Field.new("usb.endpoint_address.direction")
local f_bus = Field.new("usb.bus_id")
local f_device = Field.new("usb.device_address")
local iso7816 = Dissector.get("iso7816")
local iso7816_atr = Dissector.get("iso7816.atr")

-- What the dissector learns on the first pass, for every later one.
local devices = {}   -- per device: the request being answered, the reply so far, T=1 chains
local results = {}   -- per packet number: the frames that end in it, or the part it carries

local function xor(b, from, to)
  local x = 0
  for i = from, to do x = bit.bxor(x, b:get_index(i)) end
  return x
end

local function hex(b)
  return tostring(b):upper()
end

-- Bytes `from` on, `length` of them; ByteArray:subset refuses an empty range.
local function slice(b, from, length)
  if length <= 0 then return ByteArray.new() end
  return b:subset(from, length)
end

-- A request frame, as the driver writes it: what its reply will be read as.
local function classify(b)
  local n, t = b:len(), b:get_index(0)
  if t == 0x10 or t == 0x50 or t == 0x51 then
    return { old = true, kind = t == 0x10 and "command" or "card", command = n >= 6 and b:get_index(5) or nil }
  elseif t == 0x12 then
    return { kind = "command", command = n >= 5 and b:get_index(4) or nil }
  elseif t == 0x52 and n >= 4 and n == b:get_index(2) + 4 then
    return { kind = "t1" }
  elseif t == 0x52 and n >= 5 and n == b:get_index(2) * 256 + b:get_index(3) + 5 then
    return { kind = "t0" }
  end
  return { kind = "other" }
end

-- A reply is complete at its announced length (at least 4 bytes read).
local function reply_length(b, request)
  if b:len() < 4 then return nil end
  if request.old then return b:get_index(1) * 65536 + b:get_index(2) * 256 + b:get_index(3) + 4 end
  if request.kind == "t0" and b:get_index(0) ~= 0x21 then return b:get_index(2) * 256 + b:get_index(3) + 5 end
  return b:get_index(2) + 4
end

-- The APDU a frame carries, putting T=1 chains together (ISO/IEC 7816-3 clause 11.6.2).
local function apdu_of(b, request, out, dev)
  local n = b:len()
  if request.kind == "t1" and n >= 4 and n == b:get_index(2) + 4 then
    local pcb = b:get_index(1)
    if bit.band(pcb, 0x80) ~= 0 then return nil end
    local ns = bit.band(pcb, 0x40)
    local chain = dev.chain[out] or { parts = {} }
    -- N(S) alternates from one I-block to the next; the same N(S) again is
    -- the block sent once more after an R-block, which replaces it.
    if chain.ns == ns then chain.parts[#chain.parts] = nil end
    chain.parts[#chain.parts + 1] = slice(b, 3, n - 4)
    chain.ns = ns
    if bit.band(pcb, 0x20) ~= 0 then
      dev.chain[out] = chain
      return nil
    end
    dev.chain[out] = nil
    local apdu = ByteArray.new()
    for _, part in ipairs(chain.parts) do apdu:append(part) end
    return apdu:len() > 0 and apdu or nil
  elseif request.kind == "t0" and n >= 5 and b:get_index(0) == 0x52 then
    local data = slice(b, 4, n - 5)
    if not out and data:len() == 1 and data:get_index(0) == 0x60 then return nil end
    return data:len() > 0 and data or nil
  elseif request.old and request.kind == "card" and out and n > 4 then
    return slice(b, 4, n - 4)
  elseif not out and request.kind == "command" and request.command == 0xD3 and b:get_index(0) ~= 0x21 then
    local at = request.old and 4 or 3
    local len = n - at - (request.old and 0 or 1)
    return len > 0 and slice(b, at, len) or nil
  end
  return nil
end

local function learn(tvb, pinfo, key, out)
  local dev = devices[key]
  if not dev then
    dev = { request = { kind = "command" }, chain = {} }
    devices[key] = dev
  end
  local bytes = tvb:bytes()
  if out then
    dev.request = classify(bytes)
    dev.reply, dev.pieces = nil, nil
    results[pinfo.number] = { frames = { { bytes = bytes, request = dev.request, out = true, whole = true,
      apdu = apdu_of(bytes, dev.request, true, dev) } } }
    return
  end
  local pieces = dev.pieces or {}
  pieces[#pieces + 1] = pinfo.number
  local reply = dev.reply and (dev.reply .. bytes) or bytes
  local result = { frames = {} }
  while true do
    local need = reply_length(reply, dev.request)
    if not need or reply:len() < need then break end
    local frame = slice(reply, 0, need)
    result.frames[#result.frames + 1] = { bytes = frame, request = dev.request, out = false,
      whole = need == tvb:len() and #pieces == 1, pieces = #pieces,
      apdu = apdu_of(frame, dev.request, false, dev) }
    for _, number in ipairs(pieces) do
      if number ~= pinfo.number then results[number] = { reassembled_in = pinfo.number } end
    end
    pieces = { pinfo.number }
    if reply:len() == need then
      reply = nil
      pieces = {}
      break
    end
    reply = slice(reply, need, reply:len() - need)
  end
  if reply then result.partial = reply:len() end
  dev.reply, dev.pieces = reply, pieces
  results[pinfo.number] = result
end

-- The new generation's check byte, or a T=1 block's LRC (ISO/IEC 7816-3 clause 11.4.4).
local function add_check(tree, t, b, pinfo, field, valid_field)
  local n = b:len()
  local ok = xor(b, 0, n - 2) == b:get_index(n - 1)
  tree:add(field, t(n - 1, 1))
  tree:add(valid_field, t(n - 1, 1), ok)
  if not ok then tree:add_proto_expert_info(e_check) end
  return ok
end

local function command_text(command)
  return string.format("0x%02X", command) .. (commands[command] and (" " .. commands[command]) or "")
end

local function t1_block(tree, t, b, pinfo, out)
  local n, pcb = b:len(), b:get_index(1)
  local text
  tree:add(f.t1_nad, t(0, 1))
  local p = tree:add(f.t1_pcb, t(1, 1))
  if bit.band(pcb, 0x80) == 0 then
    text = string.format("I-block N(S)=%d%s, %d bytes", bit.band(bit.rshift(pcb, 6), 1),
      bit.band(pcb, 0x20) ~= 0 and ", more data" or "", b:get_index(2))
    p:add(f.t1_block, t(1, 1), "I"); p:add(f.t1_ns, t(1, 1)); p:add(f.t1_more, t(1, 1))
  elseif bit.band(pcb, 0x40) == 0 then
    local code = bit.band(pcb, 0x0F)
    text = string.format("R-block N(R)=%d, %s", bit.band(bit.rshift(pcb, 4), 1), r_errors[code] or ("error " .. code))
    p:add(f.t1_block, t(1, 1), "R"); p:add(f.t1_nr, t(1, 1)); p:add(f.t1_error, t(1, 1))
  else
    local kind = bit.band(pcb, 0x1F)
    text = "S-block " .. (s_types[kind] or string.format("type %02X", kind)) ..
      (bit.band(pcb, 0x20) ~= 0 and " response" or " request")
    if b:get_index(2) == 1 and n == 5 then text = text .. string.format(", INF %02X", b:get_index(3)) end
    p:add(f.t1_block, t(1, 1), "S"); p:add(f.t1_response, t(1, 1)); p:add(f.t1_stype, t(1, 1))
  end
  tree:add(f.t1_len, t(2, 1))
  if n > 4 then tree:add(f.t1_inf, t(3, n - 4)) end
  if not add_check(tree, t, b, pinfo, f.t1_lrc, f.t1_lrc_valid) then text = text .. ", wrong LRC" end
  return "T=1 " .. text
end

local function t0_frame(tree, t, b, pinfo, out)
  local n = b:len()
  tree:add(f.type, t(0, 1)); tree:add(f.control, t(1, 1)); tree:add(f.length, t(2, 2))
  local data_len = n - 5
  local text
  if out then
    tree:add(f.t0_header, t(4, math.min(5, data_len)))
    text = "T=0 command " .. hex(slice(b, 4, math.min(5, data_len)))
    if data_len > 5 then
      tree:add(f.data, t(9, data_len - 5))
      text = text .. string.format(", %d data bytes", data_len - 5)
    end
  elseif data_len == 1 and b:get_index(4) == 0x60 then
    tree:add(f.t0_procedure, t(4, 1)):add_proto_expert_info(e_null)
    text = "T=0 NULL procedure byte 60"
  elseif data_len >= 2 then
    if data_len > 2 then tree:add(f.data, t(4, data_len - 2)) end
    tree:add(f.sw, t(n - 3, 2))
    text = string.format("T=0 response, %d data bytes, SW %s", data_len - 2, hex(slice(b, n - 3, 2)))
  else
    text = string.format("T=0 reply of %d bytes", data_len)
  end
  if not add_check(tree, t, b, pinfo, f.check, f.check_valid) then text = text .. ", wrong check byte" end
  return text
end

-- A reader command's information field: 01, the command byte, its parameters.
local function command_info(tree, info, ib)
  if ib:len() >= 2 and ib:get_index(0) == 0x01 then
    tree:add(f.command, info(1, 1))
    local text = "command " .. command_text(ib:get_index(1))
    if ib:len() > 2 then
      tree:add(f.params, info(2))
      text = text .. ", parameters " .. hex(slice(ib, 2, ib:len() - 2))
    end
    return text
  elseif ib:len() == 2 and ib:get_index(0) == 0x00 and ib:get_index(1) == 0xF5 then
    return "firmware restart 00 F5"
  end
  return "frame, information " .. hex(ib)
end

-- A reply's information field: two leading bytes, the data, two status bytes.
local function reply_info(tree, info, ib, request, pinfo)
  local n = ib:len()
  if request.command == 0xD3 then
    tree:add(f.data, info())
    return string.format("transfer result, the card's answer of %d bytes", n)
  end
  if n < 4 then return string.format("reply, %d information bytes", n) end
  tree:add(f.lead, info(0, 2))
  local command = ib:get_index(1)
  tree:add(f.command, info(1, 1))
  local text = "reply to " .. command_text(command)
  local dlen = n - 4
  if dlen > 0 then
    local data = info(2, dlen)
    if command == 0x31 and dlen == 1 then
      tree:add(f.status, data)
      text = text .. string.format(", status byte %02X", ib:get_index(2))
    elseif command == 0xD2 and dlen == 1 then
      tree:add(f.state, data)
      text = text .. ", transfer state " .. ib:get_index(2)
    elseif command == 0xC0 then
      tree:add(f.version, data, data:string())
      text = text .. ', "' .. data:string():gsub("[^%g ]", ".") .. '"'
    elseif command == 0x35 then
      tree:add(f.atr, data)
      if iso7816_atr then iso7816_atr:call(data:tvb(), pinfo, tree) end
      text = text .. ", ATR " .. hex(slice(ib, 2, dlen))
    else
      tree:add(f.data, data)
      text = text .. string.format(", %d data bytes", dlen)
    end
  end
  tree:add(f.sw, info(n - 2, 2))
  return text .. ", status bytes " .. hex(slice(ib, n - 2, 2))
end

local function error_reply(tree, info, ib)
  if ib:len() ~= 4 then return "error reply" end
  tree:add(f.command, info(1, 1))
  tree:add(f.error, info(2, 1))
  tree:add_proto_expert_info(e_error)
  local code = bit.band(ib:get_index(2), 0x0F)
  return "error reply to " .. command_text(ib:get_index(1)) .. ", " .. (error_codes[code] or ("code " .. code))
end

-- One whole frame: its fields under `tree`, a one-line summary back.
local function frame(tree, t, b, request, out, pinfo)
  local n, first = b:len(), b:get_index(0)
  if n < 4 then
    tree:add_proto_expert_info(e_length)
    return string.format("frame of %d bytes, shorter than any header", n)
  end
  local new_card = not request.old and (first == 0x52 or (not out and first ~= 0x12 and first ~= 0x21))
  if new_card and request.kind == "t1" and n >= 4 and n == b:get_index(2) + 4 then
    tree:add(f.generation, 1)
    return t1_block(tree, t, b, pinfo, out)
  elseif new_card and request.kind == "t0" and n >= 5 then
    tree:add(f.generation, 1)
    return t0_frame(tree, t, b, pinfo, out)
  end
  tree:add(f.generation, request.old and 0 or 1)
  tree:add(f.type, t(0, 1))
  local head = request.old and 4 or 3
  if request.old then
    tree:add(f.length, t(1, 3))
  else
    tree:add(f.control, t(1, 1)); tree:add(f.length, t(2, 1))
  end
  local ilen = n - head - (request.old and 0 or 1)
  if ilen < 0 then
    tree:add_proto_expert_info(e_length)
    return "frame cut short"
  end
  local info, ib = t(head, ilen), slice(b, head, ilen)
  tree:add(f.info, info)
  local text
  if out then
    if first == 0x50 or first == 0x51 then
      text = string.format("card frame for T=%d, %d command bytes", first == 0x51 and 1 or 0, ilen)
    else
      text = "reader " .. command_info(tree, info, ib)
    end
  elseif first == 0x21 then
    text = error_reply(tree, info, ib)
  elseif request.kind == "card" then
    text = "card frame taken" .. (ilen >= 2 and (", status bytes " .. hex(slice(ib, ilen - 2, 2))) or "")
  else
    text = reply_info(tree, info, ib, request, pinfo)
  end
  if request.old then return text .. ", old generation" end
  text = text .. string.format(", control %02X", b:get_index(1))
  if not add_check(tree, t, b, pinfo, f.check, f.check_valid) then text = text .. ", wrong check byte" end
  return text
end

function rdr.dissector(tvb, pinfo, tree)
  if tvb:len() == 0 then return 0 end
  local direction, bus, device = f_direction(), f_bus(), f_device()
  if not direction then return 0 end
  local out = direction.value == 0
  local key = (bus and tostring(bus.value) or "?") .. "." .. (device and tostring(device.value) or "?")
  if not pinfo.visited then learn(tvb, pinfo, key, out) end
  local result = results[pinfo.number]
  if not result then return 0 end
  pinfo.cols.protocol = "RDR"
  local texts = {}
  if result.reassembled_in then
    local item = tree:add(rdr, tvb(), "Smart-card reader frame, part of a reply")
    item:add(f.reassembled_in, result.reassembled_in)
    texts[1] = "part of a reply (completed in " .. result.reassembled_in .. ")"
  end
  for _, entry in ipairs(result.frames or {}) do
    local t = entry.whole and tvb or entry.bytes:tvb("Reader frame")
    local item = tree:add(rdr, t())
    if not entry.whole then item:add(f.pieces, entry.pieces or 1) end
    local text = (out and "OUT " or "IN  ") .. frame(item, t, entry.bytes, entry.request, out, pinfo)
    item:add(f.summary, text):set_generated()
    item:append_text(": " .. text)
    texts[#texts + 1] = text
    if entry.apdu then item:add(f.apdu_length, entry.apdu:len()):set_generated() end
    if entry.apdu and iso7816 then
      pinfo.p2p_dir = out and 0 or 1  -- sent: a command APDU; received: a response
      iso7816:call(entry.apdu:tvb("APDU"), pinfo, tree)
    end
  end
  if result.partial then
    tree:add(rdr, tvb(), "Smart-card reader frame, start of a reply"):add(f.fragment, result.partial)
    texts[#texts + 1] = "start of a reply, " .. result.partial .. " bytes so far"
  end
  pinfo.cols.info:set(table.concat(texts, "; "))
  return tvb:len()
end

function rdr.init()
  devices, results = {}, {}
end

-- The reader's interface is vendor-specific (class 0xFF); Wireshark learns
-- the class from the GET_DESCRIPTOR answers at the start of the capture.
DissectorTable.get("usb.bulk"):add(0xFF, rdr)

-- Replies, commands with every response kind, the rule program upload and
-- worker registration.
local t = require "testlib"
local d = require "drvlib"
local sim, lacdc = d.sim, d.lacdc

local function le32(v)
  v = v % 2^32
  return string.char(v % 256, math.floor(v / 256) % 256, math.floor(v / 65536) % 256, math.floor(v / 16777216))
end
local function le64(v)
  local s = {}
  for i = 1, 8 do s[i] = string.char(v % 256); v = math.floor(v / 256) end
  return table.concat(s)
end
-- A response with the '!' header: kind name, two values, payload.
local function header(kind, a, b, payload)
  return "!" .. kind .. string.rep("\0", 6 - #kind) .. "\0" .. le32(a) .. le32(b) .. (payload or "")
end
local function respond_with(resp, status) sim.respond(function() return resp, status end) end
local function lines(s)
  local out = {}
  for l in (s .. "\n"):gmatch("(.-)\n") do out[#out + 1] = l end
  return out
end

t.run {
  {"reply sends code, id, eta and error", function()
    local h = d.ready()
    t.eq(h:reply({id = 7}, 2), true, "allow")
    h:reply({id = "12"}, 3)              -- id as a decimal string
    h:reply({id = 8}, 1, {error = 13})
    h:reply({id = 9}, 0x82, {eta = 30})
    h:reply({id = 4294967295}, 4)
    local got = {}
    for i, r in ipairs(sim.replies()) do got[i] = table.concat({r.reply, r.id, r.eta, r.error}, ",") end
    t.eq(table.concat(got, " "), "2,7,0,0 3,12,0,0 1,8,0,13 130,9,30,0 4,4294967295,0,0", "code,id,eta,error")
  end},

  {"reply misuse raises; a failed reply is reported", function()
    local h = d.ready()
    t.raises("Expected event", h.reply, h, 5, 2)
    t.raises("Expected event (no id)", h.reply, h, {}, 2)
    t.raises("Expected event (no id)", h.reply, h, {id = "x"}, 2)
    t.raises("expected reply options, for 'error'", h.reply, h, {id = 1}, 1)
    t.raises("expected reply options, for 'eta'", h.reply, h, {id = 1}, 0x80)
    t.raises("number expected", h.reply, h, {id = 1})
    t.eq(#sim.replies(), 0, "nothing sent")
    sim.fail("ioctl", 22)
    t.eq(d.show(h:reply({id = 1}, 2)), "nil | 22 | reply(): Invalid argument (22)", "failure")
  end},

  {"command: JSON answers and the default responder", function()
    local h = d.ready()
    t.eq(h:command('"beworker"'), true, "beworker answers true")
    t.eq(h:command('"anything"'), nil, "null")
    t.eq(sim.commands()[1], '"beworker"', "command recorded without its NUL")
    t.eq(sim.lastcommand().cmd_len, #'"anything"' + 1, "NUL travels with the command")
    t.eq(sim.lastcommand().resp_size, 4096, "default size")
    h:command("x", nil, 64)
    t.eq(sim.lastcommand().resp_size, 64, "given size")

    respond_with('{"a":[1,2],"b":"c"}')
    local v = h:command("q")
    t.eq(v.a[2] .. v.b, "2c", "decoded")
    respond_with("[1 2]")
    t.eq(d.show(h:command("q")), "nil | 4:5:Expected ',' or ']' | 4 | 5 | [1 2]", "decoder failure plus the raw text")
    respond_with(string.rep(" ", 15) .. "1")
    t.raises("Truncated by one", h.command, h, "q", nil, 16)
    t.eq(h:command("q", nil, 17), 1, "one byte of room is enough")
  end},

  {"command: sizes", function()
    local h = d.ready()
    t.raises("Return buffer too small", h.command, h, "q", nil, 8)
    t.eq(h:command("q", nil, 16), nil, "16 accepted")
    -- Found by fuzz_command: the size was taken modulo 2^32 before the check,
    -- so a negative size passed it and became a buffer of about 4 GiB.
    t.raises("Return buffer too small", h.command, h, "q", nil, -4)
    t.raises("Return buffer too small", h.command, h, "q", nil, -(2^32) + 16)
    t.eq(#sim.commands(), 1, "a refused size sends nothing")
    t.eq(h:command("q", nil, 2^32 + 64), nil, "a size is taken modulo 2^32")
    t.eq(sim.lastcommand().resp_size, 64, "2^32 + 64 is 64")
    t.raises("Return buffer too small", h.command, h, "q", nil, 2^32 + 8)
    respond_with(string.rep("x", 40))
    t.raises("Invalid command() return length 40", h.command, h, "q", "raw", 32)
  end},

  {"command: response kinds", function()
    local h = d.ready()
    local any = function() end
    -- The results of a command answered with resp; a function checks one itself.
    local function check(what, resp, kind, ...)
      local want = t.pack(...)
      respond_with(resp)
      local r = t.pack(h:command("q", kind))
      t.eq(r.n, want.n, what .. ": result count")
      for i = 1, want.n do
        if type(want[i]) == "function" then want[i](r[i]) else t.eq(r[i], want[i], what .. ": result " .. i) end
      end
    end
    local err = header("error", 0, 0, "bad request")
    check("error", err, "string", nil, "bad request")
    check("header kind without a caller kind", err, nil, nil, "bad request")
    check("raw keeps the response whole with the two values", err, "raw", err, 0, 0)
    check("empty array", header("array", 5, 6), nil, function(a) t.eq(#a, 0, "empty") end, 5, 6)
    check("array", header("array", 1, 2, le64(7) .. le64(2^40) .. le64(0) .. "abc"), nil,
          function(a) t.eq(#a .. " " .. a[1] .. " " .. a[2], "3 7 " .. 2^40, "whole words only") end, 1, 2)
    check("unsigned", header("array", 1, 2, string.rep("\255", 8)), nil,
          function(a) t.eq(a[1], 2^64, "unsigned word") end, 1, 2)
    check("string, signed value", header("string", -1, 3, "text"), nil, header("string", -1, 3, "text"), -1, 3)
    check("unknown kind", header("other", 1, 2, "x"), nil, header("other", 1, 2, "x"))
    check("a short response with a caller kind is a string", "short", "anything", "short")
    check("a short response starting with ! gets the buffer's values", "!short", "array", any, any, any)
    check("no header: caller kind", string.rep("z", 20), "raw", string.rep("z", 20))
  end},

  {"command: jerror points at the fault", function()
    local h = d.ready()
    respond_with(header("jerror", 3, 5, "bad token"))
    t.eq(select(2, h:command('{"ab":1}')), "bad token\n" .. 'b":1}' .. "\n" .. "^~" .. string.rep(" ", 78), "short")
    local long = string.rep("a", 100) .. "XYZ" .. string.rep("b", 100)
    respond_with(header("jerror", 100, 103, "here"))
    local l = lines(select(2, h:command(long)))
    t.eq(l[1], "here", "payload")
    t.eq(l[2], long:sub(100 - 38 + 1, 100 - 38 + 80), "excerpt centred on the fault")
    t.eq(l[3], string.rep(" ", 38) .. "^~~" .. string.rep(" ", 39), "marker under the fault")
    respond_with(header("jerror", 2, 4, "near start"))
    l = lines(select(2, h:command(long)))
    t.eq(l[2], long:sub(1, 80), "first 80 characters")
    t.eq(l[3], "  ^~" .. string.rep(" ", 76), "marker at the start offset")
    respond_with(header("jerror", -5, 1000, "clamped"))
    t.eq(select(2, select(2, h:command(long)):gsub("~", "")), 79, "width is at most 80")
  end},

  {"command: driver failures", function()
    local h = d.ready()
    respond_with("x", -13)
    t.eq(d.show(h:command("q")), "nil | 13 | command(): Permission denied (13)", "negative result")
    respond_with("x", 5)
    t.eq(d.show(h:command("q")), "nil | 5 | command(): Input/output error (5)", "a positive result is a status")
  end},

  {"program sends the whole signed image; its answers convert like command answers", function()
    local h = d.ready()
    local c = lacdc.compiler
    c.clear(); c.default(); c.constant(0xDEADBEEF); c.suffixlist(".sh\0.py\0")
    c.newsieve(c.ssieve{".so", ".ko"})
    local p = c.procedure(2)
    c.newcode(3, 8, 0, true, 0); c.newreturn(2); c.link(18, p); c.sign()
    local img = c.tostring()
    t.eq(h:program(), true, "default answer to a program command")
    local sent = sim.commands()
    t.eq(#sent, 1, "one command")
    -- The recorder strips the byte in the NUL's place: here the image's last byte, 0 once signed.
    t.eq(sent[1], img:sub(1, 9471), "command bytes are the image")
    t.eq(sent[1]:sub(1, 10), '"program"\0', "starts with the program token")
    t.eq(img:byte(9472), 0, "last image byte")
    t.eq(sim.lastcommand().cmd_len .. " " .. sim.lastcommand().resp_size, "9472 4096", "all bytes travel")

    local seen
    sim.respond(function(bytes) seen = bytes; return '{"loaded":2}' end)
    t.eq(h:program().loaded, 2, "JSON answer")
    t.eq(seen, img:sub(1, 9471), "responder sees the image")
    respond_with("!error\0\0" .. string.rep("\0", 8) .. "bad crc")
    t.eq(d.show(h:program()), "nil | bad crc", "error answer")
    sim.respond(nil)
    sim.fail("ioctl", 22)
    t.eq(d.show(h:program()), "nil | 22 | command(): Invalid argument (22)", "failure")
    t.raises("vava.handle expected", h.program, {})
  end},

  {"open_worker registers the handle, or closes it when refused", function()
    d.ready():close()
    local h = assert(lacdc.open_worker())
    t.eq(sim.commands()[1], '"beworker"', "worker command sent")
    h:close()
    respond_with("false")
    t.eq(d.show(lacdc.open_worker()), "nil | -1 | Failed to become worker:  (-1)", "refused")
    t.eq(sim.status().handles, 0, "handle closed")
    sim.respond(nil)
    t.eq(d.show(lacdc.open_worker(sim.null())), "nil | -1 | ShouldExitChannel not setup:  (-1)", "open's failure")
  end},
}

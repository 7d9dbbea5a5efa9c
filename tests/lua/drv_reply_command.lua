-- Replies, commands with every response kind, and worker registration.
local t = require "testlib"
local d = require "drvlib"
local sim, lacdc = d.sim, d.lacdc

-- A response with the '!' header: kind name, two values, payload.
local function header(kind, a, b, payload)
  local function le32(v)
    v = v % 2^32
    return string.char(v % 256, math.floor(v / 256) % 256, math.floor(v / 65536) % 256, math.floor(v / 16777216))
  end
  return "!" .. kind .. string.rep("\0", 6 - #kind) .. "\0" .. le32(a) .. le32(b) .. (payload or "")
end

local function le64(v)
  local s = {}
  for i = 1, 8 do s[i] = string.char(v % 256); v = math.floor(v / 256) end
  return table.concat(s)
end

local function respond_with(resp, status)
  sim.respond(function() return resp, status end)
end

t.run {
  {"reply sends code, id, eta and error", function()
    local h = d.ready()
    t.eq(h:reply({id = 7}, 2), true, "allow")
    t.eq(h:reply({id = "12"}, 3), true, "id as decimal string")
    t.eq(h:reply({id = 8}, 1, {error = 13}), true, "error")
    t.eq(h:reply({id = 9}, 0x82, {eta = 30}), true, "eta")
    t.eq(h:reply({id = 4294967295}, 4), true, "largest id")
    local r = sim.replies()
    t.eq(#r, 5, "five replies")
    t.eq(r[1].reply, 2, "code"); t.eq(r[1].id, 7, "id"); t.eq(r[1].eta, 0, "eta"); t.eq(r[1].error, 0, "error")
    t.eq(r[2].id, 12, "converted id")
    t.eq(r[3].reply, 1, "error code"); t.eq(r[3].error, 13, "error value")
    t.eq(r[4].reply, 0x82, "flagged code"); t.eq(r[4].eta, 30, "eta value"); t.eq(r[4].error, 0, "no error")
    t.eq(r[5].id, 4294967295, "unsigned id")
  end},

  {"reply misuse raises", function()
    local h = d.ready()
    t.raises("Expected event", h.reply, h, 5, 2)
    t.raises("Expected event (no id)", h.reply, h, {}, 2)
    t.raises("Expected event (no id)", h.reply, h, {id = "x"}, 2)
    t.raises("expected reply options, for 'error'", h.reply, h, {id = 1}, 1)
    t.raises("expected reply options, for 'eta'", h.reply, h, {id = 1}, 0x80)
    t.raises("number expected", h.reply, h, {id = 1})
    t.eq(#sim.replies(), 0, "nothing sent")
  end},

  {"reply failure is reported", function()
    local h = d.ready()
    sim.fail("ioctl", 22)
    local ok, code, msg = h:reply({id = 1}, 2)
    t.eq(ok, nil, "nil"); t.eq(code, 22, "EINVAL")
    t.eq(msg, "reply(): Invalid argument (22)", "message")
  end},

  {"command: JSON answers and the default responder", function()
    local h = d.ready()
    t.eq(h:command('"beworker"'), true, "beworker answers true")
    t.eq(h:command('"anything"'), nil, "null")
    local c = sim.commands()
    t.eq(c[1], '"beworker"', "command recorded without its NUL")
    t.eq(sim.lastcommand().cmd_len, #'"anything"' + 1, "NUL travels with the command")
    t.eq(sim.lastcommand().resp_size, 4096, "default size")
    h:command("x", nil, 64)
    t.eq(sim.lastcommand().resp_size, 64, "given size")

    respond_with('{"a":[1,2],"b":"c"}')
    local v = h:command("q")
    t.eq(v.a[2], 2, "decoded"); t.eq(v.b, "c", "decoded string")

    respond_with("[1 2]")
    local r = t.pack(h:command("q"))
    t.eq(r.n, 5, "decoder failure plus the raw text")
    t.eq(r[1], nil, "nil"); t.eq(r[2], "4:5:Expected ',' or ']'", "decoder message")
    t.eq(r[3], 4, "start"); t.eq(r[4], 5, "end"); t.eq(r[5], "[1 2]", "raw")

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
    respond_with(header("error", 0, 0, "bad request"))
    local r = t.pack(h:command("q", "string"))
    t.eq(r.n, 2, "two results"); t.eq(r[1], nil, "nil"); t.eq(r[2], "bad request", "payload")
    r = t.pack(h:command("q"))
    t.eq(r[2], "bad request", "header kind without a caller kind")
    r = t.pack(h:command("q", "raw"))
    t.eq(r.n, 3, "raw keeps the response whole with the two values")
    t.eq(r[1], header("error", 0, 0, "bad request"), "whole response")

    respond_with(header("array", 5, 6))
    r = t.pack(h:command("q"))
    t.eq(r.n, 3, "array with two values"); t.eq(#r[1], 0, "empty"); t.eq(r[2], 5, "a"); t.eq(r[3], 6, "b")
    respond_with(header("array", 1, 2, le64(7) .. le64(2^40) .. le64(0) .. "abc"))
    r = t.pack(h:command("q"))
    t.eq(#r[1], 3, "whole words only"); t.eq(r[1][1], 7, "first"); t.eq(r[1][2], 2^40, "second")
    respond_with(header("array", 1, 2, string.rep("\255", 8)))
    t.eq(h:command("q")[1], 2^64, "unsigned word")

    respond_with(header("string", -1, 3, "text"))
    r = t.pack(h:command("q"))
    t.eq(r[1], header("string", -1, 3, "text"), "string is the whole response")
    t.eq(r[2], -1, "signed value"); t.eq(r[3], 3, "b")

    respond_with(header("other", 1, 2, "x"))
    r = t.pack(h:command("q"))
    t.eq(r.n, 1, "unknown kind: one result"); t.eq(r[1], header("other", 1, 2, "x"), "whole")

    respond_with("short")
    r = t.pack(h:command("q", "anything"))
    t.eq(r.n, 1, "short response with a caller kind is a string"); t.eq(r[1], "short", "text")
    respond_with("!short")
    r = t.pack(h:command("q", "array"))
    t.eq(r.n, 3, "short response starting with ! gets the buffer's values")

    respond_with(string.rep("z", 20))
    t.eq(h:command("q", "raw"), string.rep("z", 20), "no header: caller kind")
  end},

  {"command: jerror points at the fault", function()
    local h = d.ready()
    respond_with(header("jerror", 3, 5, "bad token"))
    local r = t.pack(h:command('{"ab":1}'))
    t.eq(r[1], nil, "nil")
    t.eq(r[2], "bad token\n" .. 'b":1}' .. "\n" .. "^~" .. string.rep(" ", 78), "short command")

    local long = string.rep("a", 100) .. "XYZ" .. string.rep("b", 100)
    respond_with(header("jerror", 100, 103, "here"))
    r = t.pack(h:command(long))
    local lines = {}
    for l in (r[2] .. "\n"):gmatch("(.-)\n") do lines[#lines + 1] = l end
    t.eq(lines[1], "here", "payload")
    t.eq(lines[2], long:sub(100 - 38 + 1, 100 - 38 + 80), "excerpt centred on the fault")
    t.eq(lines[3], string.rep(" ", 38) .. "^~~" .. string.rep(" ", 39), "marker under the fault")

    respond_with(header("jerror", 2, 4, "near start"))
    r = t.pack(h:command(long))
    lines = {}
    for l in (r[2] .. "\n"):gmatch("(.-)\n") do lines[#lines + 1] = l end
    t.eq(lines[2], long:sub(1, 80), "first 80 characters")
    t.eq(lines[3], "  ^~" .. string.rep(" ", 76), "marker at the start offset")

    respond_with(header("jerror", -5, 1000, "clamped"))
    r = t.pack(h:command(long))
    t.eq(select(2, r[2]:gsub("~", "")), 79, "width is at most 80")
  end},

  {"command: driver failures", function()
    local h = d.ready()
    respond_with("x", -13)
    local ok, code, msg = h:command("q")
    t.eq(code, 13, "EACCES"); t.eq(msg, "command(): Permission denied (13)", "message")
    respond_with("x", 5)
    ok, code, msg = h:command("q")
    t.eq(code, 5, "positive result is a status"); t.eq(msg, "command(): Input/output error (5)", "message")
  end},

  {"open_worker registers the handle, or closes it when refused", function()
    d.ready():close()
    local h = assert(lacdc.open_worker())
    t.eq(sim.commands()[1], '"beworker"', "worker command sent")
    h:close()
    respond_with("false")
    local r = t.pack(lacdc.open_worker())
    t.eq(r[1], nil, "refused"); t.eq(r[2], -1, "-1")
    t.eq(r[3], "Failed to become worker:  (-1)", "message")
    t.eq(sim.status().handles, 0, "handle closed")
    sim.respond(nil)
    r = t.pack(lacdc.open_worker(sim.null()))
    t.eq(r[2], -1, "open's failure passes through")
    t.eq(r[3], "ShouldExitChannel not setup:  (-1)", "open's message")
  end},
}

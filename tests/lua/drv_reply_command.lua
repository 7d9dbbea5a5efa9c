-- Replies, commands with every response kind, the rule program upload and worker registration.
local t, d = require "testlib", require "drvlib"
local sim, lacdc, show = d.sim, d.lacdc, d.show
local function le(v, n)
  local s = {}
  for i = 1, n do s[i] = string.char(v % 256); v = math.floor(v / 256) end
  return table.concat(s)
end
-- A response with the '!' header: kind name, two values, payload.
local function header(kind, a, b, payload)
  return "!" .. kind .. ("\0"):rep(7 - #kind) .. le(a % 2^32, 4) .. le(b, 4) .. (payload or "")
end
local function respond_with(resp, status) sim.respond(function() return resp, status end) end
t.run {
  {"reply sends code, id, eta and error; misuse raises; a failed reply is reported", function()
    local h = d.ready()
    t.eq(h:reply({id = 7}, 2), true, "allow")
    h:reply({id = "12"}, 3)              -- id as a decimal string
    h:reply({id = 8}, 1, {error = 13})
    h:reply({id = 9}, 0x82, {eta = 30})
    h:reply({id = 4294967295}, 4)
    local got = {}
    for i, r in ipairs(sim.replies()) do got[i] = table.concat({r.reply, r.id, r.eta, r.error}, ",") end
    t.eq(table.concat(got, " "), "2,7,0,0 3,12,0,0 1,8,0,13 130,9,30,0 4,4294967295,0,0", "code,id,eta,error")
    t.raise_all {{"Expected event", h.reply, h, 5, 2}, {"Expected event (no id)", h.reply, h, {id = "x"}, 2},
                 {"number expected", h.reply, h, {id = 1}}, {"expected reply options, for 'error'", h.reply, h, {id = 1}, 1},
                 {"expected reply options, for 'eta'", h.reply, h, {id = 1}, 0x80}}
    t.eq(#sim.replies(), 0, "nothing sent")
    sim.fail("ioctl", 22)
    t.eq(show(h:reply({id = 1}, 2)), "nil | 22 | reply(): Invalid argument (22)", "failure")
  end},
  {"command: JSON answers, sizes and driver failures", function()
    local h = d.ready()
    t.eq(show(h:command('"beworker"'), h:command('"anything"')), "true | nil", "default responder")
    t.eq(sim.commands()[1] .. sim.lastcommand().cmd_len .. " " .. sim.lastcommand().resp_size, '"beworker"11 4096',
         "recorded without its NUL, which travels; default size")
    respond_with('{"a":[1,2],"b":"c"}')
    t.eq(h:command("q").a[2] .. h:command("q").b, "2c", "decoded")
    respond_with("[1 2]")
    t.eq(show(h:command("q")), "nil | 4:5:Expected ',' or ']' | 4 | 5 | [1 2]", "decoder failure plus the raw text")
    respond_with((" "):rep(15) .. "1")
    t.raises("Truncated by one", h.command, h, "q", nil, 16)
    t.eq(h:command("q", nil, 17), 1, "one byte of room is enough")
    sim.respond(nil)
    sim.commands()
    -- The size was once taken modulo 2^32 before the check: -4 became about 4 GiB.
    for _, bad in ipairs {8, -4, -(2^32) + 16, 2^32 + 8} do t.raises("Return buffer too small", h.command, h, "q", nil, bad) end
    t.eq(#sim.commands(), 0, "a refused size sends nothing")
    t.eq(tostring(h:command("q", nil, 2^32 + 64)) .. sim.lastcommand().resp_size, "nil64", "a size is taken modulo 2^32")
    respond_with(("x"):rep(40))
    t.raises("Invalid command() return length 40", h.command, h, "q", "raw", 32)
    respond_with("x", -13)
    local neg = show(h:command("q"))
    respond_with("x", 5)
    t.eq(neg .. " " .. show(h:command("q")), "nil | 13 | command(): Permission denied (13) nil | 5 | command(): " ..
         "Input/output error (5)", "a negative or positive result is a status")
  end},
  {"command: response kinds", function()
    local h = d.ready()
    local err = header("error", 0, 0, "bad request")
    for _, c in ipairs {  -- what, response, caller kind, results
      {"error", err, "string", "nil | bad request"}, {"header kind without a caller kind", err, nil, "nil | bad request"},
      {"raw keeps the response whole with the two values", err, "raw", err .. " | 0 | 0"},
      {"array: whole words only", header("array", 1, 2, le(7, 8) .. le(2^40, 8) .. le(0, 8) .. "abc"), nil,
       "7 1099511627776 0 | 1 | 2"},
      {"unsigned", header("array", 1, 2, ("\255"):rep(8)), nil, 2^64 .. " | 1 | 2"}, {"empty", header("array", 5, 6), nil, " | 5 | 6"},
      {"string, signed value", header("string", -1, 3, "text"), nil, header("string", -1, 3, "text") .. " | -1 | 3"},
      {"unknown kind", header("other", 1, 2, "x"), nil, header("other", 1, 2, "x")}, {"short", "short", "anything", "short"},
      {"no header: caller kind", ("z"):rep(20), "raw", ("z"):rep(20)},
    } do
      respond_with(c[2])
      local r = {n = select("#", h:command("q", c[3])), h:command("q", c[3])}
      t.eq(show(type(r[1]) == "table" and table.concat(r[1], " ") or r[1], unpack(r, 2, r.n)), c[4], c[1])
    end
  end},
  {"command: jerror points at the fault", function()
    local h = d.ready()
    local function excerpt(text, a, b)  -- the second result
      respond_with(header("jerror", a, b, "msg"))
      return select(2, h:command(text))
    end
    t.eq(excerpt('{"ab":1}', 3, 5), 'msg\nb":1}\n^~' .. (" "):rep(78), "short")
    local long = ("a"):rep(100) .. "XYZ" .. ("b"):rep(100)
    t.eq(excerpt(long, 100, 103), "msg\n" .. long:sub(63, 142) .. "\n" .. (" "):rep(38) .. "^~~" .. (" "):rep(39),
         "excerpt centred on the fault")
    t.eq(select(2, excerpt(long, -5, 1000):gsub("~", "")), 79, "width is at most 80")
  end},
  {"program sends the whole signed image; its answers convert like command answers", function()
    local h, c = d.ready(), lacdc.compiler
    c.clear(); c.default(); c.constant(0xDEADBEEF); c.sign()
    local img = c.tostring()
    t.eq(h:program(), true, "default answer to a program command")
    local sent = sim.commands()
    -- The recorder strips the byte in the NUL's place: here the image's last byte, 0 once signed.
    t.eq(#sent .. " " .. tostring(sent[1] == img:sub(1, 9471)) .. " " .. img:byte(9472), "1 true 0", "the image")
    t.eq(sim.lastcommand().cmd_len .. " " .. sim.lastcommand().resp_size, "9472 4096", "all bytes travel")
    respond_with("!error\0\0" .. ("\0"):rep(8) .. "bad crc")
    t.eq(show(h:program()), "nil | bad crc", "its answers convert like command answers")
    sim.respond(nil)
    sim.fail("ioctl", 22)
    t.eq(show(h:program()), "nil | 22 | command(): Invalid argument (22)", "failure")
    t.raises("vava.handle expected", h.program, {})
  end},
  {"open_worker registers the handle, or closes it when refused", function()
    d.ready():close()
    assert(lacdc.open_worker()):close()
    t.eq(sim.commands()[1], '"beworker"', "worker command sent")
    respond_with("false")
    t.eq(show(lacdc.open_worker()) .. " " .. sim.status().handles, "nil | -1 | Failed to become worker:  (-1) 0", "refused")
    sim.respond(nil)
    t.eq(show(lacdc.open_worker(sim.null())), "nil | -1 | ShouldExitChannel not setup:  (-1)", "open's failure")
  end},
}

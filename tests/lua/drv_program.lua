-- Upload of the rule program: the whole image travels as one command and the
-- answer comes back as the command operation converts it.
local t = require "testlib"
local sim = require "vavasim"
local c = require("lacdc").compiler

local function ready()
  sim.reset()
  sim.setup{hook = true, driver = true, node = true}
  return assert(require("lacdc").open())
end

local function build()
  c.clear()
  c.default()
  c.constant(0xDEADBEEF)
  c.suffixlist(".sh\0.py\0")
  c.newsieve(c.ssieve{".so", ".ko"})
  local p = c.procedure(2)
  c.newcode(3, 8, 0, true, 0)
  c.newreturn(2)
  c.link(18, p)
  c.sign()
  return c.tostring()
end

t.run {
  {"program sends the whole signed image", function()
    local h = ready()
    local img = build()
    t.eq(h:program(), true, "default answer to a program command")
    local sent = sim.commands()
    t.eq(#sent, 1, "one command")
    -- The recorder strips the byte in the NUL's place: here the image's last byte, 0 once signed.
    t.eq(sent[1], img:sub(1, 9471), "command bytes are the image")
    t.eq(img:byte(9472), 0, "last image byte")
    t.eq(sim.lastcommand().cmd_len, 9472, "all 9472 bytes travel")
    t.eq(sim.lastcommand().resp_size, 4096, "default response buffer")
    t.eq(sent[1]:sub(1, 10), '"program"\0', "starts with the program token")
    h:close()
  end},

  {"program answers are converted like command answers", function()
    local h = ready()
    build()
    local seen
    sim.respond(function(bytes) seen = bytes; return '{"loaded":2}' end)
    t.eq(h:program().loaded, 2, "JSON answer")
    t.eq(seen, c.tostring():sub(1, 9471), "responder sees the image")

    sim.respond(function() return "!error\0\0" .. string.rep("\0", 8) .. "bad crc" end)
    local r = t.pack(h:program())
    t.eq(r.n, 2, "two results"); t.eq(r[1], nil, "nil"); t.eq(r[2], "bad crc", "payload")

    sim.respond(nil)
    sim.fail("ioctl", 22)
    r = t.pack(h:program())
    t.eq(r[1], nil, "nil"); t.eq(r[2], 22, "status")
    t.eq(r[3], "command(): Invalid argument (22)", "message")
    t.raises("vava.handle expected", h.program, {})
    h:close()
  end},
}

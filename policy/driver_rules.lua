-- The rule program acagent uploads to the driver. The engine ignores an open
-- made by a program that is no script interpreter (only an interpreter's
-- opens can run a script), so the driver may answer such an open itself:
-- no record, no engine thread, no /proc walk. Every other open, and every
-- exec, still goes to the engine.
--
-- Opcodes, subjects and the list format are the driver's (driver/rule_program.h).
local M = {}

local OP_IS, OP_HAS = 1, 2
local PROGRAM_NAME = 0

-- The engine's script-interpreter rules as the opener's file name may match
-- them: names it equals, fragments it contains. A name here that is no
-- interpreter only sends more opens to the engine; one missing would let that
-- interpreter read scripts unjudged (a unit test holds the two together).
M.interpreter_names = {
  "sh", "powershell.exe", "powershell_ise.exe", "cmd.exe", "cscript.exe", "wscript.exe", "sihclient.exe",
}
M.interpreter_fragments = {
  "java", "sma_lsam", "python", "php", "nginx", "apache2", "httpd", "lighttpd", "perl", "bash", "dash", "csh", "ksh",
}

local function list(names)
  return table.concat(names, "\0") .. "\0"
end

-- Builds and signs the image with the compiler table c: open-pre runs
--   if the program's name is an interpreter's: ADVICE (the engine judges)
--   else IGNORE
-- and every other event type the default procedure (ADVICE).
function M.build(c)
  local act = require("lacdc").action
  c.clear()
  c.default()
  local names, fragments = c.suffixlist(list(M.interpreter_names)), c.suffixlist(list(M.interpreter_fragments))
  local open = c.procedure(5)
  c.newcode(OP_IS, PROGRAM_NAME, names, false, 0)
  c.newreturn(act.advice)
  c.newcode(OP_HAS, PROGRAM_NAME, fragments, false, 0)
  c.newreturn(act.advice)
  c.newreturn(act.ignore)
  c.link(require("lacdc").event.open_pre, open)
  c.sign()
end

-- Uploads the program through handle h: the policy's own (policy.program(c),
-- which builds and signs it), none at all (policy.program == false: the
-- engine sees every open) or the one above. Returns what the driver answered.
function M.upload(h, policy)
  local c = require("lacdc").compiler
  if policy.program == false then
    c.clear()
    c.default()
    c.sign()
  elseif type(policy.program) == "function" then
    policy.program(c)
  else
    M.build(c)
  end
  return h:program()
end

return M

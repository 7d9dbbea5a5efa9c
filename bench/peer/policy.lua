-- The policy of the host-mode side: the sample policy, trusting the program
-- folder of the benchmark's tmpfs (given by PEER_PROGRAM_DIR).
local source = assert(os.getenv("PEER_SOURCE_DIR"), "PEER_SOURCE_DIR")
local policy = dofile(source .. "/examples/policy.lua")
policy.trusted_dirs[#policy.trusted_dirs + 1] = assert(os.getenv("PEER_PROGRAM_DIR"), "PEER_PROGRAM_DIR")
return policy

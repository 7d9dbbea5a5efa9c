// `acagent host` (protect this host's mounts), `acagent mode` (switch a
// running one between permissive and enforcing) and `acagent trust` (the
// administrator's side of the trust policy).
#pragma once

#include <string>

// argv[0] is "host"; exe_dir is acagent's own directory. Returns the exit status.
int host_command(int argc, char** argv, const char* exe_dir);
// argv[0] is "mode"; returns the exit status.
int mode_command(int argc, char** argv);
// argv[0] is "trust"; runs trust/admin.lua with the arguments. Returns the exit status.
int trust_command(int argc, char** argv, const char* exe_dir);

// A file shipped with acagent: `installed` under ../share/acengine beside an
// installed binary, else `source` in the source tree it was built from.
std::string shipped(const char* exe_dir, const char* installed, const char* source);

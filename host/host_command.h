// `acagent host` (protect this host's mounts) and `acagent mode` (switch a
// running one between permissive and enforcing).
#pragma once

// argv[0] is "host"; exe_dir is acagent's own directory. Returns the exit status.
int host_command(int argc, char** argv, const char* exe_dir);
// argv[0] is "mode"; returns the exit status.
int mode_command(int argc, char** argv);

// `acagent status [--json] [PID|PATH]`: prints a running agent's status snapshot.
#pragma once

// argv[0] is "status"; returns the exit status.
int status_command(int argc, char** argv);

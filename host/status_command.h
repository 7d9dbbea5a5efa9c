// `acagent status [--json] [PID|PATH]`: prints a running agent's status snapshot.
#pragma once

// argv[0] is "status"; returns the exit status.
int status_command(int argc, char** argv);

#include <sys/types.h>
// The pid of the running agent whose snapshot PID or PATH names (the newest
// when arg is null); 0 after a message on standard error when there is none.
pid_t running_agent_pid(const char* arg);

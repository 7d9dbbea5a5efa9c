// Host mode: the driver on the real file operations of chosen mounts, for
// the embedding host (acagent). C linkage: the one interface acagent uses.
#pragma once
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct acdriver_config {
    const char* const* mounts;  // mount points to watch; none: every mount of fstypes
    int mount_count;
    const char* fstypes;        // comma-separated; null: the default list
    const char* const* exempt;  // programs (paths) whose operations are never held
    int exempt_count;
    int deadline_ms;            // every held event is answered within this
    int deadline_deny;          // what the deadline answers: 0 allow, 1 deny
    int enforcing;              // 0 permissive: every event allowed, denials logged
    int initial_namespace;      // 1: watching the initial mount namespace is allowed
    int handles;                // handles the agent's workers will open (spread of records)
};

// Starts watching; 0, or an errno with a message in why.
int acdriver_start(const struct acdriver_config* config, char* why, size_t why_size);
// Stops: answers every held event and hangs up every handle. Returns how many it answered.
unsigned acdriver_stop(void);
// Switches between permissive (0) and enforcing (1) while running.
void acdriver_set_enforcing(int enforcing);
// The driver's status as one JSON object (no trailing newline); the length it
// needs, like snprintf.
size_t acdriver_status_json(char* buf, size_t size);
// The default file-system types of the mounts host mode watches.
const char* acdriver_default_fstypes(void);

#ifdef __cplusplus
}
#endif

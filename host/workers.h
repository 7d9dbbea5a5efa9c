// Runs one Lua script in N threads, one Lua state each, and waits for all.
#pragma once

struct lua_State;

struct WorkersConfig {
    int workers;
    int argc;     // the script and its arguments
    char** argv;
    const char* exe_dir;      // put first on package.cpath
    const char* status_file;  // null: the default path; "": no snapshot
    void (*prepare)(lua_State*);  // run on each state before the script; may be null
};

// 0 when every worker finished without a Lua error, else 1.
int run_workers(const WorkersConfig& cfg);

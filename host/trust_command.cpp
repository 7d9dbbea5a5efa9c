// `acagent trust`: the administrator's commands of the trust policy, written
// in Lua (trust/admin.lua) and run in one state with acagent's modules.
#include <cstdio>
#include <string>
#include <vector>

#include "file_info.h"
#include "host_command.h"
#include "workers.h"

int trust_command(int argc, char** argv, const char* exe_dir)
{
    std::string script = shipped(exe_dir, "trust/admin.lua", "trust/admin.lua");
    std::vector<char*> args{const_cast<char*>(script.c_str())};
    for (int i = 1; i < argc; i++) args.push_back(argv[i]);
    args.push_back(nullptr);
    WorkersConfig cfg{1, argc, args.data(), exe_dir, "", preload_file_info};
    return run_workers(cfg);
}

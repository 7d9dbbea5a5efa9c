// For the benchmarks that link the engine: the event and context filled as
// the test entry (AbstractEvent from Lua) fills them.
#pragma once
#include <string>

#include "base/context.h"
#include "base/paths.h"

namespace bench {

// From a resolved path and a process name; nothing when either is missing.
inline void fill_as_test_entry(ac_event_info* ev, ac_decision_ctx* ctx, const std::string& rlpath,
                               const char* procName)
{
    if (rlpath.empty() || !procName) return;
    ac_copy_path(ctx->realpath, rlpath.c_str());
    ac_copy_path(ev->name, rlpath.c_str());
    ac_copy_path(ctx->processName, procName);
    splitpath(ctx->processPath, ctx->processFileName, ctx->processName);
    splitpath(ctx->path, ctx->fileName, ctx->realpath);
    extract_file_extension(ctx->fileName, ctx->fileExtension, '.');
}

}  // namespace bench

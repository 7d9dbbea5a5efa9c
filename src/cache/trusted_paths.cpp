#include "cache/trusted_paths.h"

#include <cstring>

#include "base/paths.h"
#include "cache/process_types.h"

extern "C" {

bool IsTrustedPath(uint64_t type, const char* path, FILE* log)
{
    if (type == AC_PROCESS_TYPE_NONE || type >= AC_PROCESS_TYPE_COUNT || !path) return false;
    char text[AC_PATH_MAX];
    size_t n = strnlen(path, sizeof text - 1);
    memcpy(text, path, n);
    text[n] = '\0';

    const ac_process_type& row = ProcessTypes[type];
    if (!row.trusted || !text[0]) return false;
    if (log) fprintf(log, "Checking if path is trusted location\n");
    if (row.trustedPathCount == 0) return false;

    for (uint32_t i = 0; i < row.trustedPathCount; i++) {
        const char* fragment = row.trustedPaths[i];
        if (strstr(text, fragment)) {
            if (log) fprintf(log, "Path '%s' is trusted\n", text);
            return true;
        }
        if (log)
            fprintf(log, "\tPath '%s' does not match trusted path option '%s' | Try next trusted option\n",
                    text, fragment);
    }
    if (log) fprintf(log, "Path '%s' is not trusted\n", text);
    return false;
}

bool IsPrelink(uint64_t type) { return type == AC_PROCESS_TYPE_PRELINK; }

}  // extern "C"

#include "channel/fresh_filter.h"

#include <cstring>

#include "cache/drift_filters.h"
#include "channel/command.h"

namespace {

constexpr uint32_t RESPONSE_SIZE = 128;
constexpr char GETFILEFILTER[] = "\"getfilefilter\"";

// Every line of the exchange is flushed at once: it runs rarely and is read
// when the driver's filter misbehaves.
#define FF_DEBUG(ctx, ...)                      \
    do {                                        \
        if ((ctx)->debugLog) {                  \
            fprintf((ctx)->debugLog, __VA_ARGS__); \
            fflush((ctx)->debugLog);            \
        }                                       \
    } while (0)

}  // namespace

// Outcomes are only logged: the event goes on either way.
extern "C" void lac_fresh_filter_exchange(lac_handle* h, ac_decision_ctx* ctx)
{
    FF_DEBUG(ctx, "Fresh Drift Filter\n");
    char resp[RESPONSE_SIZE];
    uint32_t len = 0;
    int status = lac_command(h, GETFILEFILTER, sizeof GETFILEFILTER, resp, sizeof resp, &len);
    if (status) {
        FF_DEBUG(ctx, "command getfilefilter failed %d\n", status);
        return;
    }
    if (len > sizeof resp) len = sizeof resp;  // never trust the driver past our buffer
    FF_DEBUG(ctx, "command to get old filter succeeded retsz = %d %.*s\n", (int)len, (int)len, resp);

    char command[AC_FRESH_FILTER_SIZE + 1] = {};
    auto* rec = reinterpret_cast<ac_fresh_filter*>(command);
    char err[128];
    int r = DriftFreshFilter(resp, len, rec, err, sizeof err);
    if (r < 0) {
        FF_DEBUG(ctx, "DriftFreshFilter failed %d message %s\n", r, err);
        return;
    }
    FF_DEBUG(ctx, "DriftFreshFilter succeeded command %.*s, id %d\n", 16, rec->command, (int)rec->id);
    status = lac_command(h, command, sizeof command, resp, sizeof resp, &len);
    if (status)
        FF_DEBUG(ctx, "command to set new filter failed %d\n", status);
    else
        FF_DEBUG(ctx, "command to set new filter succeeded returned %d bytes\n", (int)len);
}

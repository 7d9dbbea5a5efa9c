#include "lua/args.h"
#include "lua/retrieval_lua.h"

#include "channel/device.h"
#include "lua/channel_lua.h"
#include "lua/event_table.h"
#include "lua/handle_lua.h"
#include "lua/result.h"

namespace {

typedef int (*pass_fn)(lua_State* L, lac_handle* h, const lac_get_options* opt, lac_name_error* err);

int gettest_pass(lua_State* L, lac_handle* h, const lac_get_options*, lac_name_error* err)
{
    return lac_gettest(L, h, err);
}

// The loop shared by get and gettest: wait, one pass, and by the class of the
// status either go on, stop the handle, or return.
int run_loop(lua_State* L, lac_handle* h, int timeout, const lac_get_options* opt, pass_fn pass)
{
    if (h->stopped) return l_pushresult(L, LAC_ERR_GENERIC, "Already stopped");
    lac_name_error err{};
    for (;;) {
        lac_profiler_start();
        int status = lac_poll(h, h->exit_fd, timeout);
        bool waited = status == 0;
        if (waited) status = pass(L, h, opt, &err);
        lac_profiler_end();
        if (status == LAC_NAME_TOO_LONG)
            return luaL_error(L, "%s length too large %d", err.key, (int)err.length);
        const char* prefix = waited ? "get()" : "poll()";
        switch (lac_explain(status)) {
        case LAC_CLASS_RETRY: continue;
        case LAC_CLASS_STOPPED:
            h->stopped = 1;
            return l_pushresult(L, status, "%s", prefix);
        case LAC_CLASS_OK:
            if (!lua_istable(L, -1)) return luaL_error(L, "get() failed to push table (%s)", luaL_typename(L, -1));
            return 1;
        default: return l_pushresult(L, status, "%s", prefix);
        }
    }
}

int timeout_arg(lua_State* L) { return lua_type(L, 2) == LUA_TNUMBER ? (int)lua_tointeger(L, 2) : -1; }

}  // namespace

extern "C" {

int lac_get(lua_State* L, lac_handle* h, const lac_get_options* opt, lac_name_error* err)
{
    lac_pass_storage s;
    return lac_get_pass(L, h, opt, err, &s);
}

int lac_get_pass(lua_State* L, lac_handle* h, const lac_get_options* opt, lac_name_error* err,
                 lac_pass_storage* s)
{
    int status = lac_decide_pass(h, opt, s);
    if (status == LAC_NAME_TOO_LONG) {
        uint32_t len = 0;
        const char* key = lac_overlong_name(&s->rec, &len);
        *err = lac_name_error{key, len};
    }
    if (status) return status;
    size_t bad_len = 0;
    const char* bad = lac_push_event_table(L, &s->rec, &s->ctx, &bad_len);
    if (bad) {
        *err = lac_name_error{bad, bad_len};
        return LAC_NAME_TOO_LONG;
    }
    return 0;
}

int lac_gettest(lua_State* L, lac_handle* h, lac_name_error* err)
{
    ac_event_record rec;
    ssize_t got;
    int rerr = lac_read_record(h, &rec, &got);
    if (rerr) return rerr;
    size_t bad_len = 0;
    const char* bad = lac_push_record_table(L, &rec, &bad_len);
    if (bad) {
        *err = lac_name_error{bad, bad_len};
        return LAC_NAME_TOO_LONG;
    }
    return 0;
}

int l_get(lua_State* L)
{
    lac_handle* h = lac_checkhandle(L, 1);
    int timeout = timeout_arg(L);
    lac_get_options opt;
    opt.ac_on = (int32_t)luaL_checkinteger(L, 3);
    opt.lockdown = (int32_t)luaL_checkinteger(L, 4);
    opt.logMode = (int32_t)luaL_checkinteger(L, 5);
    opt.basedir = lac_checkpath(L, 6);
    opt.maintenanceMode = (int32_t)luaL_checkinteger(L, 7);
    opt.startTime = lac_tou64(luaL_checknumber(L, 8));
    return run_loop(L, h, timeout, &opt, lac_get);
}

int l_gettest(lua_State* L)
{
    lac_handle* h = lac_checkhandle(L, 1);
    return run_loop(L, h, timeout_arg(L), nullptr, gettest_pass);
}

}  // extern "C"

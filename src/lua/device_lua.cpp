#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "channel/device.h"
#include "lua/args.h"
#include "lua/channel_lua.h"
#include "lua/handle_lua.h"
#include "lua/result.h"

extern "C" {

// A noted status is reported only when the call otherwise succeeds.
struct note {
    int status;
    char prefix[256];
};

static void note_status(note* n, int status, const char* prefix, const char* arg)
{
    if (n->status) return;
    n->status = status;
    snprintf(n->prefix, sizeof n->prefix, prefix, arg);
}

static int noted_result(lua_State* L, const note* n)
{
    if (!n->status) return l_pushresult(L, 0, "");
    lua_pushboolean(L, 1);
    l_pushresult(L, n->status, "%s", n->prefix);
    lua_remove(L, -3);  // the nil of the failure form
    return 3;
}

int l_load(lua_State* L)
{
    const char* driver = lac_checkpath(L, 1);
    const char* hook = lac_checkpath(L, 2);
    note n{};
    const char* paths[2] = {hook, driver};
    for (const char* path : paths) {
        int err = load_module(path);
        if (err == EEXIST)
            note_status(&n, err, "load_module(\"%s\")", path);
        else if (err)
            return l_pushresult(L, err, "load_module(\"%s\")", path);
    }
    FILE* devices = fopen(LAC_PROC_DEVICES, "r");
    if (!devices) return l_pushresult(L, errno, "fopen(\"/proc/devices\", r)");
    int major = device_major(devices);
    if (!major) return l_pushresult(L, ENODEV, "find(\"vava\", /proc/devices)");
    int err = make_node(major);
    if (err == EEXIST)
        note_status(&n, err, "%s", "mknod(\"/dev/qnvyac\", IFCHR, dev)");
    else if (err)
        return l_pushresult(L, err, "mknod(\"/dev/qnvyac\", IFCHR, dev)");
    return noted_result(L, &n);
}

int l_unload(lua_State* L)
{
    note n{};
    int err = unload_module(LAC_DRIVER_MODULE);
    if (err == ENOENT)
        note_status(&n, err, "%s", "unload_module(\"vava\")");
    else if (err)
        return l_pushresult(L, err, "unload_module(\"vava\")");
    err = unlink(LAC_DEVICE_NODE) == 0 ? 0 : errno;
    if (err == ENOENT)
        note_status(&n, err, "%s", "unlink(\"/dev/qnvyac\")");
    else if (err)
        return l_pushresult(L, err, "unlink(\"/dev/qnvyac\")");
    err = unload_module(LAC_HOOK_MODULE);
    if (err == ENOENT || err == EAGAIN)
        note_status(&n, err, "%s", "unload_module(\"qnhook\")");
    else if (err)
        return l_pushresult(L, err, "unload_module(\"qnhook\")");
    return noted_result(L, &n);
}

int l_open(lua_State* L)
{
    auto* exit_fd = static_cast<int32_t*>(lac_optpointer(L, 1));
    if (!exit_fd && lua_islightuserdata(L, 1)) return l_pushresult(L, LAC_ERR_GENERIC, "ShouldExitChannel not setup");
    auto* h = static_cast<lac_handle*>(lua_newuserdata(L, sizeof(lac_handle)));
    *h = lac_handle{-1, exit_fd, 1, 0};  // closed until the device is open: __gc must not close -1
    luaL_setmetatable(L, LAC_HANDLE_META);
    int err = lac_open_device(h);
    if (err) return l_pushresult(L, err, "open_device(\"/dev/qnvyac\")");
    h->closed = 0;
    return 1;
}

int l_profiler(lua_State* L)
{
    void* start = lac_optpointer(L, 1);
    void* end = lac_optpointer(L, 2);
    profiler_start.store(start ? reinterpret_cast<lac_profiler_fn>(start) : profiler_none, std::memory_order_relaxed);
    profiler_end.store(end ? reinterpret_cast<lac_profiler_fn>(end) : profiler_none, std::memory_order_relaxed);
    return 0;
}

int l_close(lua_State* L)
{
    lac_handle* h = lac_checkhandle(L, 1);
    if (h->closed) {
        lua_pushnil(L);
        lua_pushinteger(L, 0);
        lua_pushliteral(L, "Double close");
        return 3;
    }
    int err = lac_close_device(h);
    h->closed = 1;
    int n = l_pushresult(L, err, "close_device()");
    h->fd = -1;  // the number may be handed to the next open: the methods must not reach it
    return n;
}

int l_tostring(lua_State* L)
{
    lua_pushfstring(L, "%s: %p", LAC_HANDLE_META, lac_checkhandle(L, 1));
    return 1;
}

int l_isdone(lua_State* L)
{
    lua_pushboolean(L, lac_checkhandle(L, 1)->stopped != 0);
    return 1;
}

}  // extern "C"

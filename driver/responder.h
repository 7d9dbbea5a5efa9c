// What the driver answers to a command: the built-in answers or a Lua
// function installed with vavasim.respond.
#pragma once
#include <lua.hpp>
#include <string>

namespace drv {

struct Response {
    std::string bytes;
    int status = 0;  // 0: success; -e: the ioctl fails with errno e; > 0: the ioctl returns it
};

// Called without the state lock, from whichever thread issued the ioctl.
Response answer_command(const std::string& command);

// The built-in answers; the getfilefilter id starts again at 1.
void reset_default_responder();

// Installs the function at idx of L (nil: the built-in answers). The function
// runs in L's global state, so that state must outlive its use; closing it
// restores the built-in answers. Raises Lua errors; call with no C++ object alive.
void set_lua_responder(lua_State* L, int idx);
void clear_lua_responder(lua_State* L);

}  // namespace drv

#include "lua/channel_lua.h"
#include "compiler/compiler.h"

extern "C" {

// Lua: handle:program(). The command path appends one byte to what it sends, so
// passing all but the last byte puts exactly the whole image on the wire, its
// last byte standing where the terminating NUL would go.
int l_program(lua_State* L)
{
    return bind_command(L, reinterpret_cast<const char*>(&program), sizeof program - 1, nullptr, 0);
}

}  // extern "C"

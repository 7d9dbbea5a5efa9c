// The rule program compiler: Lua functions that build, sign and read back the
// one process-wide program image. No locks: one thread builds at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <lua.hpp>

#include "compiler/program_image.h"

// The procedure being emitted: its declared instruction count and how many
// instructions it has received.
struct acc_state {
    int32_t limit;
    int32_t used;
};

extern "C" {

extern acc_program program;
extern acc_state cc;
extern uint32_t crctable[256];
extern int initcrc;

// CRC-32 (reflected 0xEDB88320, all-ones start, final complement).
uint32_t acc_crc32(const void* data, size_t len);

int acc_clear(lua_State* L);
int acc_sign(lua_State* L);
int acc_guid(lua_State* L);
int acc_default(lua_State* L);
int acc_procedure(lua_State* L);
int acc_link(lua_State* L);
int acc_psieve(lua_State* L);
int acc_ssieve(lua_State* L);
int acc_newsieve(lua_State* L);
int acc_constant(lua_State* L);
int acc_suffixlist(lua_State* L);
int acc_newcode(lua_State* L);
int acc_newjump(lua_State* L);
int acc_newreturn(lua_State* L);
int acc_dump(lua_State* L);
int acc_tostring(lua_State* L);

// Handle method: sends the whole image to the driver as one command.
int l_program(lua_State* L);
}

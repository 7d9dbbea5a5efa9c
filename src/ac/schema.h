// Schema-update handshake: one thread at a time creates or updates the
// policy database while the others' database writes wait on sqliteWriteOpsCS.
#pragma once
#include <cstdint>
#include <lua.hpp>

extern "C" {
// 1 at load; cleared by the first grant and never set again.
extern int32_t updateSchema;
// 1 from a grant until UpdatedSchema.
extern int32_t updatingSchema;

int l_ShouldUpdateSchema(lua_State* L);
int l_UpdatedSchema(lua_State* L);
}

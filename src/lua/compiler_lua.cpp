#include <cstdio>
#include <cstring>

#include "compiler/compiler.h"
#include "lua/compiler_lua.h"

namespace {

uint8_t* image_bytes() { return reinterpret_cast<uint8_t*>(&program); }

uint32_t check_u32(lua_State* L, int arg) { return (uint32_t)luaL_checkinteger(L, arg); }

// Appends one instruction to the procedure most recently opened.
int append(lua_State* L, uint32_t word)
{
    if (cc.used >= cc.limit) return luaL_error(L, "Max instructions for procedure: %d", (int)cc.limit);
    if (program.codeCount >= ACC_CODE_WORDS) return luaL_error(L, "Max code");
    cc.used++;
    program.code[program.codeCount++] = word;
    return 0;
}

// Pools a string into fixed slots: an existing slot that begins with the same
// bytes is reused, otherwise the next free slot receives it.
int store_pooled(lua_State* L, uint8_t* slots, size_t slot_size, uint32_t nslots, uint32_t* count,
                 const char* too_large, const char* too_many)
{
    size_t len;
    const char* s = luaL_checklstring(L, 1, &len);
    if (len > slot_size) return luaL_error(L, "%s", too_large);
    for (uint32_t k = 0; k < *count && k < nslots; k++) {
        if (memcmp(slots + k * slot_size, s, len) == 0) {
            lua_pushinteger(L, k);
            return 1;
        }
    }
    if (*count >= nslots) return luaL_error(L, "%s", too_many);
    memcpy(slots + *count * slot_size, s, len);
    lua_pushinteger(L, (*count)++);
    return 1;
}

// Prefix (forward) or suffix (backward) sieve over the strings of argument 1.
int build_sieve(lua_State* L, bool backward)
{
    if (!lua_istable(L, 1)) return luaL_argerror(L, 1, "Expected table");
    uint32_t n = (uint32_t)lua_tointeger(L, 2);
    if (n < 1 || n > ACC_SIEVE_DEPTH) n = ACC_SIEVE_DEPTH;

    acc_sieve rec;
    uint32_t* ends = rec.masks;
    uint32_t* present = rec.masks + n;
    for (uint32_t p = 0; p < n; p++) {
        ends[p] = 0xFFFFFFFFu;
        present[p] = 0;
    }

    size_t entries = lua_rawlen(L, 1);
    for (size_t j = 1; j <= entries; j++) {
        lua_rawgeti(L, 1, (int)j);
        // Numbers add nothing; anything else that is not a string is skipped too.
        if (lua_type(L, -1) == LUA_TSTRING) {
            size_t len;
            const unsigned char* s = reinterpret_cast<const unsigned char*>(lua_tolstring(L, -1, &len));
            size_t m = len < n ? len : n;
            uint32_t bit = 0;
            size_t p = 0;
            for (; p < m; p++) {
                bit = 1u << ((backward ? s[len - 1 - p] : s[p]) & 31);
                present[p] |= bit;
                // An earlier pattern already ends here with this class: this one adds nothing deeper.
                if (!(ends[p] & bit)) break;
            }
            if (m > 0 && p == m) ends[m - 1] &= ~bit;
        }
        lua_pop(L, 1);
    }

    uint32_t d = n;
    if (present[n - 1] == 0) {
        d = 0;
        for (uint32_t p = n - 1; p > 0; p--) {
            if (present[p - 1]) {
                d = p;
                break;
            }
        }
    }
    memmove(rec.masks + d, present, d * sizeof(uint32_t));
    rec.depth = d;
    lua_pushlstring(L, reinterpret_cast<const char*>(&rec), 4 + 8 * (size_t)d);
    return 1;
}

}  // namespace

extern "C" {

int acc_clear(lua_State* L)
{
    memset(&program, 0, sizeof program);
    memcpy(program.magic, ACC_MAGIC, ACC_MAGIC_SIZE);
    program.constantCount = ACC_RESERVED_CONSTANTS;
    return 0;
}

int acc_sign(lua_State* L)
{
    uint32_t crc = acc_crc32(&program, sizeof program);
    program.guid[0] = ACC_SIGN_MARK;
    memcpy(program.guid + ACC_SIGN_CRC_AT, &crc, sizeof crc);
    program.guid[ACC_SIGN_END_AT] = 0;
    memcpy(image_bytes() + ACC_TRAILER_OFFSET, program.guid, ACC_GUID_SIZE);
    return 0;
}

int acc_guid(lua_State* L)
{
    lua_pushlstring(L, reinterpret_cast<const char*>(program.guid), ACC_GUID_SIZE);
    return 1;
}

// One procedure of one instruction returning ADVICE: the target of every unlinked event.
int acc_default(lua_State* L)
{
    program.codeCount = 2;
    program.code[0] = 1;
    program.code[1] = (1 - 0 - 1 + ACC_DEFAULT_ACTION) << 8;
    return 0;
}

int acc_procedure(lua_State* L)
{
    int32_t n = (int32_t)luaL_checkinteger(L, 1);
    uint32_t h = program.codeCount;
    if (h >= ACC_CODE_WORDS) return luaL_error(L, "Max code");
    cc.limit = n;
    cc.used = 0;
    program.code[h] = (uint32_t)n;
    program.codeCount = h + 1;
    lua_pushinteger(L, h);
    return 1;
}

int acc_link(lua_State* L)
{
    uint32_t event = check_u32(L, 1);
    uint32_t index = check_u32(L, 2);
    if (event >= ACC_EVENT_LINKS) return luaL_argerror(L, 1, "event unsupported");
    if (index >= program.codeCount) return luaL_argerror(L, 2, "event unsupported");
    program.eventLinks[event] = index;
    return 0;
}

int acc_psieve(lua_State* L) { return build_sieve(L, false); }

int acc_ssieve(lua_State* L) { return build_sieve(L, true); }

int acc_newsieve(lua_State* L)
{
    return store_pooled(L, &program.sieves[0][0], ACC_SIEVE_SIZE, ACC_SIEVE_SLOTS, &program.sieveCount,
                        "Sieve too large", "Max sieve");
}

int acc_constant(lua_State* L)
{
    uint32_t value = check_u32(L, 1);
    uint32_t k = program.constantCount;
    if (k > ACC_RESERVED_CONSTANTS) {
        for (uint32_t i = ACC_RESERVED_CONSTANTS; i < k && i < ACC_CONSTANT_SLOTS; i++) {
            if (program.constants[i] == value) {
                lua_pushinteger(L, i);
                return 1;
            }
        }
        if (k >= ACC_CONSTANT_SLOTS) return luaL_error(L, "Max constants");
    }
    program.constants[k] = value;
    program.constantCount = k + 1;
    lua_pushinteger(L, k);
    return 1;
}

int acc_suffixlist(lua_State* L)
{
    return store_pooled(L, &program.suffixLists[0][0], ACC_SUFFIX_LIST_SIZE, ACC_SUFFIX_LIST_SLOTS,
                        &program.suffixListCount, "Suffix list too large", "Max suffix_lists");
}

// Operands are not masked: the caller keeps each within its field.
int acc_newcode(lua_State* L)
{
    uint32_t opcode = check_u32(L, 1);
    uint32_t a = check_u32(L, 2);
    uint32_t b = check_u32(L, 3);
    uint32_t flag = lua_toboolean(L, 4) ? 1 : 0;
    uint32_t c = check_u32(L, 5);
    return append(L, c << 24 | b << 16 | a << 8 | flag << 7 | opcode);
}

int acc_newjump(lua_State* L)
{
    uint32_t offset = check_u32(L, 1);
    if (offset > ACC_MAX_JUMP) return luaL_error(L, "jump out of range: %d", (int)offset);
    return append(L, offset << 8);
}

// A return jumps `action` words past the procedure's last slot.
int acc_newreturn(lua_State* L)
{
    uint32_t action = check_u32(L, 1);
    if (action > ACC_MAX_ACTION) return luaL_error(L, "invalid action: %d", (int)action);
    uint32_t offset = (uint32_t)cc.limit - (uint32_t)cc.used + action - 1;
    return append(L, offset << 8);
}

int acc_dump(lua_State* L)
{
    fwrite(&program, 1, sizeof program, stdout);
    fflush(stdout);
    return 0;
}

int acc_tostring(lua_State* L)
{
    lua_pushlstring(L, reinterpret_cast<const char*>(&program), sizeof program);
    return 1;
}

}  // extern "C"

// Lua event tables built from a record (gettest) or from a decided event (get).
#pragma once
#include <cstdint>
#include <lua.hpp>

#include "base/context.h"
#include "base/event_record.h"

extern "C" {
void l_getcommon(lua_State* L, const ac_event_record* rec);
void lac_push_name(lua_State* L, uint32_t length, const char* bytes, const char* key, uint32_t limit);
}

// Both builders return the key of a name longer than the limit instead of
// raising, so that the caller can release what it holds first.

// Table for gettest: the record's fields as the type's mask allows.
const char* lac_push_record_table(lua_State* L, const ac_event_record* rec, size_t* bad_len);
// Table for get: the record's fields and what the fast path found.
const char* lac_push_event_table(lua_State* L, const ac_event_record* rec, const ac_decision_ctx* ctx,
                                 size_t* bad_len);

// Schema-update handshake: one thread at a time creates or updates the
// policy database while the others' database writes wait on sqliteWriteOpsCS.
#pragma once
#include <cstdint>

namespace VyaCore {
class CDom;
}

extern "C" {
// 1 at load; cleared by the first grant and never set again.
extern int32_t updateSchema;
// 1 from a grant until UpdatedSchema.
extern int32_t updatingSchema;

// 1 when the caller may create or update the database: it then holds
// sqliteWriteOpsCS until ac_schema_updated. 0 when not (the lock is not held).
int ac_schema_grant(const VyaCore::CDom* dom);
void ac_schema_updated(void);
}

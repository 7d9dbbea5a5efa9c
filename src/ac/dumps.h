// Diagnostic dumps of module ac's tables into the host's zip stream. Each
// takes the table's lock around its copy; nothing escapes while it is held.
#pragma once

namespace VyaCore {
class CZipOutputStream;
}

extern "C" {
// Entries "ac/exec_cache" (object cache) and "ac/drift" (drift tracker).
void ac_dump_caches(VyaCore::CZipOutputStream* zip);
// Entry "ac/filterSet".
void ac_dump_filter_set(VyaCore::CZipOutputStream* zip);
}

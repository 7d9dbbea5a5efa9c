// Whether a process type may act on a path because the path lies in one of the
// type's trusted locations, and whether a type is the prelink program.
#pragma once
#include <cstdint>
#include <cstdio>

extern "C" {
// log: the per-event debug stream, or null for no output.
bool IsTrustedPath(uint64_t type, const char* path, FILE* log);
bool IsPrelink(uint64_t type);

}

// The two local event logs. Each is opened and closed within one event so that
// a log moved away from outside is recreated at the next event.
#pragma once
#include <cstdint>
#include <cstdio>

#include "base/context.h"
#include "base/event_record.h"

#define LAC_DEBUG_LOG "/var/opt/vy_agent/ac/eventAbstraction.log"
#define LAC_EVENTS_LOG "/var/opt/vy_agent/ac/FileSystemEvents"

FILE* lac_open_log(const char* path);
void lac_log_out_of_range(uint32_t type);
void lac_log_event_line(const ac_event_record* rec, ac_decision_ctx* ctx);

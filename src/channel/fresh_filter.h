// Refreshing the driver's file filter after a close reported too many untracked
// descriptors.
#pragma once
#include "base/context.h"
#include "channel/handle.h"

extern "C" void lac_fresh_filter_exchange(lac_handle* h, ac_decision_ctx* ctx);

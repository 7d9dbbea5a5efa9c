#include "base/status.h"

extern "C" {

int lac_is_error(int status) { return status != 0; }

enum lac_class lac_explain(int status)
{
    switch (status) {
    case LAC_OK: return LAC_CLASS_OK;
    case LAC_ERR_SHUTDOWN:
    case LAC_ERR_DISABLED: return LAC_CLASS_STOPPED;
    case LAC_ERR_TIMEOUT: return LAC_CLASS_TIMEOUT;
    case LAC_EAGAIN: return LAC_CLASS_RETRY;
    default: return LAC_CLASS_FAILED;
    }
}

}  // extern "C"

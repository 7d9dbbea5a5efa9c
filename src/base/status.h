// Channel status codes and their classes.
#pragma once

enum {
    LAC_OK = 0,
    LAC_ERR_GENERIC = -1,
    LAC_ERR_SHUTDOWN = -2,
    LAC_ERR_DISABLED = -3,
    LAC_ERR_TIMEOUT = -4,
    LAC_EAGAIN = 11,
};

enum lac_class { LAC_CLASS_OK, LAC_CLASS_FAILED, LAC_CLASS_RETRY, LAC_CLASS_STOPPED, LAC_CLASS_TIMEOUT };

extern "C" {
int lac_is_error(int status);
enum lac_class lac_explain(int status);
}

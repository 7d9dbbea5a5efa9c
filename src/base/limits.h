// Bounds on what one call may read, wait for or retry: each keeps hostile or
// broken input from turning a call into an endless or unbounded one.
#pragma once

// Reads of a file being hashed that fail with EINTR, EAGAIN or EFAULT are
// tried again at most this many times per call, so that an idle writer
// cannot keep a call reading.
#define AC_READ_RETRIES 16
// Negative reads of a rule-set file are tried again at most this many times in a row.
#define AC_RULESET_READ_RETRIES 16
// The largest rule-set content (after decryption and decompression) read.
#define AC_RULESET_MAX (64u << 20)
// A fast-path reply interrupted or refused for the moment is sent again at
// most this many times.
#define AC_REPLY_RETRIES 4
// Waits and reads of the device interrupted by signals in a row before the
// interruption is reported.
#define AC_EINTR_RETRIES 16
// At most one system-log line about failed fast-path replies per this many seconds.
#define AC_REPLY_LOG_INTERVAL 10

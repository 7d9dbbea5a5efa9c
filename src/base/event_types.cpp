#include "base/event_record.h"

extern "C" {

uint64_t generated_event_attribute_mask[AC_EVENT_TYPE_COUNT];

const ac_event_type_name ac_event_type_names[AC_EVENT_TYPE_COUNT] = {
    {"EVENT_NULL", "NULL"},
    {"TYPE_PROC_START", "AC_TYPE_PROC_START"},
    {"TYPE_PROC_TERM", "AC_TYPE_PROC_TERM"},
    {"TYPE_FILE_EXEC", "AC_TYPE_FILE_EXEC"},
    {"TYPE_CREATE", "AC_TYPE_CREATE"},
    {"TYPE_RENAME", "AC_TYPE_RENAME"},
    {"TYPE_UPDATE", "AC_TYPE_UPDATE"},
    {"TYPE_DELETE", "AC_TYPE_DELETE"},
    {"EVENT_WRITE_PRE", ""},
    {"EVENT_WRITE_POST", ""},
    {"EVENT_CREATE_PRE", ""},
    {"EVENT_CREATE_POST", ""},
    {"EVENT_CLEANUP_PRE", ""},
    {"EVENT_CLEANUP_POST", ""},
    {"EVENT_SETINFO_PRE", ""},
    {"EVENT_SETINFO_POST", ""},
    {"EVENT_SETSECURITY_PRE", ""},
    {"EVENT_SETSECURITY_POST", ""},
    {"EVENT_EXEC_PRE", ""},
    {"EVENT_EXEC_POST", ""},
    {"EVENT_LINK_PRE", ""},
    {"EVENT_LINK_POST", ""},
    {"EVENT_DUP_PRE", "AC_EVENT_DUP_PRE"},
    {"EVENT_DUP_POST", "AC_EVENT_DUP_POST"},
    {"EVENT_OPEN_PRE", "AC_EVENT_OPEN_PRE"},
    {"EVENT_OPEN_POST", "AC_EVENT_OPEN_POST"},
    {"EVENT_CHMOD_PRE", "AC_EVENT_CHMOD_PRE"},
    {"EVENT_CHMOD_POST", "AC_EVENT_CHMOD_POST"},
    {"EVENT_FCHMOD_PRE", "AC_EVENT_FCHMOD_PRE"},
    {"EVENT_FCHMOD_POST", "AC_EVENT_FCHMOD_POST"},
    {"EVENT_CLOSE_PRE", "AC_EVENT_CLOSE_PRE"},
    {"EVENT_CLOSE_POST", ""},
    {"EVENT_EXECVE_PRE", "AC_EVENT_EXECVE_PRE"},
    {"EVENT_EXECVE_POST", ""},
    {"EVENT_RENAME_PRE", ""},
    {"EVENT_RENAME_POST", "AC_EVENT_RENAME_POST"},
    {"EVENT_CHOWN_PRE", "AC_EVENT_CHOWN_PRE"},
    {"EVENT_CHOWN_POST", "AC_EVENT_CHOWN_POST"},
    {"EVENT_LCHOWN_PRE", "AC_EVENT_LCHOWN_PRE"},
    {"EVENT_LCHOWN_POST", "AC_EVENT_LCHOWN_POST"},
    {"EVENT_FCHOWN_PRE", "AC_EVENT_FCHOWN_PRE"},
    {"EVENT_FCHOWN_POST", "AC_EVENT_FCHOWN_POST"},
    {"EVENT_FCHOWNAT_PRE", "AC_EVENT_FCHOWNAT_PRE"},
    {"EVENT_FCHOWNAT_POST", "AC_EVENT_FCHOWNAT_POST"},
    {"EVENT_UNLINK_PRE", ""},
    {"EVENT_UNLINK_POST", "AC_EVENT_UNLINK_POST"},
    {"EVENT_UNLINKAT_PRE", ""},
    {"EVENT_UNLINKAT_POST", "AC_EVENT_UNLINKAT_POST"},
    {"EVENT_MMAP_PRE", "AC_EVENT_MMAP_PRE"},
    {"EVENT_MMAP_POST", ""},
};

const char* getEventType(uint32_t type)
{
    return ac_type_in_range(type) ? ac_event_type_names[type].text : "";
}

// Masks of the pre events from type 22 on; each post event adds ATTR_ID_RC.
static constexpr uint64_t pre_event_masks[] = {
    ATTR_FD | ATTR_OLDFD | ATTR_FLAGS,                                    // dup
    ATTR_DIRFD | ATTR_MODE | ATTR_FLAGS | ATTR_NAME,                      // open
    ATTR_DIRFD | ATTR_MODE | ATTR_NAME,                                   // chmod
    ATTR_FD | ATTR_MODE,                                                  // fchmod
    ATTR_FD,                                                              // close
    ATTR_DIRFD | ATTR_FLAGS | ATTR_NAME,                                  // execve
    ATTR_DIRFD | ATTR_OLDDIRFD | ATTR_FLAGS | ATTR_NAME | ATTR_OLDNAME,   // rename
    ATTR_NAME,                                                            // chown
    ATTR_NAME,                                                            // lchown
    ATTR_FD,                                                              // fchown
    ATTR_DIRFD | ATTR_FLAGS | ATTR_NAME,                                  // fchownat
    ATTR_NAME,                                                            // unlink
    ATTR_DIRFD | ATTR_FLAGS | ATTR_NAME,                                  // unlinkat
    ATTR_FD | ATTR_MODE | ATTR_FLAGS,                                     // mmap
};
static_assert(EVENT_DUP_PRE + 2 * (sizeof pre_event_masks / sizeof pre_event_masks[0]) ==
                  AC_EVENT_TYPE_COUNT, "one mask per pre/post pair");

void lac_initialize(void)
{
    for (auto& m : generated_event_attribute_mask) m = ~uint64_t(0);
    uint32_t t = EVENT_DUP_PRE;
    for (uint64_t m : pre_event_masks) {
        generated_event_attribute_mask[t++] = m;
        generated_event_attribute_mask[t++] = m | ATTR_ID_RC;
    }
}

}  // extern "C"

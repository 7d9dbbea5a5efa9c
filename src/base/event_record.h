// Wire format of one driver event record, the event type numbers and the
// per-type attribute masks.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t AC_EVENT_RECORD_SIZE = 2136;
constexpr size_t AC_NAME_FIELD = 1024;
constexpr uint32_t NAME_FAULT = 0xFFFFFFF2u;  // -EFAULT in a length field
constexpr int AC_FD_CWD = -100;               // directory-relative "current directory"
constexpr int AC_EVENT_TYPE_COUNT = 50;

#pragma pack(push, 1)
struct ac_event_record {
    uint8_t reserved0[8];
    uint32_t type;
    uint32_t id;
    uint32_t missed;
    uint32_t pid;
    uint32_t ppid;
    uint8_t reserved28[4];
    uint32_t tid;
    uint8_t reserved36[4];
    int64_t rc;
    int32_t fd;
    int32_t oldfd;
    uint32_t mode;
    uint32_t flags;
    uint32_t execUid;
    uint8_t reserved68[12];
    uint32_t name_len;
    uint32_t oldname_len;
    char name[AC_NAME_FIELD];
    char oldname[AC_NAME_FIELD];
};
#pragma pack(pop)
static_assert(sizeof(ac_event_record) == AC_EVENT_RECORD_SIZE, "record size");
static_assert(offsetof(ac_event_record, rc) == 40, "rc offset");
static_assert(offsetof(ac_event_record, execUid) == 64, "execUid offset");
static_assert(offsetof(ac_event_record, name) == 88, "name offset");
static_assert(offsetof(ac_event_record, oldname) == 1112, "oldname offset");

enum : uint64_t {
    ATTR_ID_RC = 0x1,
    ATTR_FD = 0x2,
    ATTR_DIRFD = 0x4,
    ATTR_OLDFD = 0x8,
    ATTR_OLDDIRFD = 0x10,
    ATTR_MODE = 0x20,
    ATTR_FLAGS = 0x40,
    ATTR_NAME = 0x200,
    ATTR_OLDNAME = 0x400,
};

enum ac_event_type : uint32_t {
    EVENT_NULL = 0,
    TYPE_PROC_START, TYPE_PROC_TERM, TYPE_FILE_EXEC, TYPE_CREATE, TYPE_RENAME,
    TYPE_UPDATE, TYPE_DELETE,
    EVENT_WRITE_PRE, EVENT_WRITE_POST, EVENT_CREATE_PRE, EVENT_CREATE_POST,
    EVENT_CLEANUP_PRE, EVENT_CLEANUP_POST, EVENT_SETINFO_PRE, EVENT_SETINFO_POST,
    EVENT_SETSECURITY_PRE, EVENT_SETSECURITY_POST, EVENT_EXEC_PRE, EVENT_EXEC_POST,
    EVENT_LINK_PRE, EVENT_LINK_POST,
    EVENT_DUP_PRE, EVENT_DUP_POST, EVENT_OPEN_PRE, EVENT_OPEN_POST,
    EVENT_CHMOD_PRE, EVENT_CHMOD_POST, EVENT_FCHMOD_PRE, EVENT_FCHMOD_POST,
    EVENT_CLOSE_PRE, EVENT_CLOSE_POST, EVENT_EXECVE_PRE, EVENT_EXECVE_POST,
    EVENT_RENAME_PRE, EVENT_RENAME_POST, EVENT_CHOWN_PRE, EVENT_CHOWN_POST,
    EVENT_LCHOWN_PRE, EVENT_LCHOWN_POST, EVENT_FCHOWN_PRE, EVENT_FCHOWN_POST,
    EVENT_FCHOWNAT_PRE, EVENT_FCHOWNAT_POST, EVENT_UNLINK_PRE, EVENT_UNLINK_POST,
    EVENT_UNLINKAT_PRE, EVENT_UNLINKAT_POST, EVENT_MMAP_PRE, EVENT_MMAP_POST,
};
static_assert(EVENT_MMAP_POST == 49, "event numbering");

// Name of one event type for the Lua group table and the logs.
struct ac_event_type_name {
    const char* constant;  // module field, e.g. "EVENT_OPEN_PRE"
    const char* text;      // getEventType text, "" where the type has none
};

extern "C" {
extern uint64_t generated_event_attribute_mask[AC_EVENT_TYPE_COUNT];
extern const ac_event_type_name ac_event_type_names[AC_EVENT_TYPE_COUNT];
const char* getEventType(uint32_t type);
void lac_initialize(void);
}

inline bool ac_type_in_range(uint32_t type) { return type < AC_EVENT_TYPE_COUNT; }

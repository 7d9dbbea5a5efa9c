#!/usr/bin/env python3
"""Writes the seed corpora of fuzz/corpus/<target>/ (committed; rerun after a
change to what a target reads from its input).

The JSON targets read text as it is. The others read their input through
FuzzedDataProvider, which takes byte strings from the front of the input and
integers from its back; the Input class below encodes calls in the order a
target makes them, so that each seed is a meaningful case: an exec of a file
the object cache knows, a command answered with each response kind, a sieve
of real extensions, a rule set made the way the agent makes them.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Input:
    """Mirrors FuzzedDataProvider (LLVM 14) for the calls the targets make."""

    def __init__(self):
        self.front = bytearray()
        self.back = []  # bytes in the order they are consumed, from the end

    def integral(self, lo, hi, value):
        assert lo <= value <= hi, (lo, value, hi)
        rng, offset, n = hi - lo, 0, 0
        while offset < 64 and (rng >> offset) > 0:
            offset += 8
            n += 1
        v = value - lo
        # The first byte consumed is the most significant one.
        self.back.extend((v >> (8 * (n - 1 - i))) & 0xFF for i in range(n))

    def u8(self, value): self.integral(0, 255, value)
    def u16(self, value): self.integral(0, 0xFFFF, value)
    def u32(self, value): self.integral(0, 0xFFFFFFFF, value)
    def u64(self, value): self.integral(0, 2**64 - 1, value)
    def i32(self, value): self.integral(-2**31, 2**31 - 1, value)
    def i64(self, value): self.integral(-2**63, 2**63 - 1, value)
    def boolean(self, value): self.integral(0, 255, 1 if value else 0)

    def bytes(self, data):
        self.front += data

    def random_length_string(self, text):
        # A backslash is doubled; a backslash and another byte end the string.
        self.front += text.replace(b"\\", b"\\\\") + b"\\T"

    def data(self, remaining=b""):
        return bytes(self.front) + remaining + bytes(reversed(self.back))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- fuzz_json_decode and fuzz_json_parser: the text itself.
JSON = {
    "object": b'{"a":[1,2,{"b":null}],"c":"d\\n\\"e\\"","f":true,"g":false,"h":-1.5e3}',
    "nested_arrays": b"[[1,[2,[3,[]]]],{},[{}],[[]]]",
    "program_reply": b'{"result":"ok","id":"00ab","size":4096}',
    "deep": b"[" * 64 + b"]" * 64,
    "too_deep": b"[" * 65 + b"]" * 65,
    "truncated": b'{"a":"unterminated',
    "escapes": b'"\\b\\f\\n\\r\\t\\/\\\\ \\u0041"',
    "numbers": b"[0,-0,1e10,1.5,-2E-3,0.5e+1,12345678901234567890]",
    "error_mid_array": b"[1,2 3]",
    "nul_inside": b'{"a":1}\x00{"b":2}',
    "empty": b"",
}


# ---- fuzz_get: records pushed to the handle, read by get.
RECORD_MAX = 2200  # AC_EVENT_RECORD_SIZE + 64
TYPES = ["dup_pre", "dup_post", "open_pre", "open_post", "chmod_pre", "chmod_post", "fchmod_pre",
         "fchmod_post", "close_pre", "execve_pre", "rename_post", "chown_pre", "chown_post", "lchown_post",
         "fchown_post", "fchownat_post", "unlink_post", "unlinkat_post", "mmap_pre", "mmap_post", "write_pre",
         "null", "proc_start", "out_of_range"]
FDS = [-100, 3, 4, 5, 6, 7, 0, -1, 1 << 30]
NAMES = ["/tool", "/run.sh", "/script.py", "/app.log", "/empty", "/sub", "/sub/../tool", "tool", "run.sh",
         "./script.py", "../", "/usr/bin/true", "/bin/sh", "/proc/self/exe", "/dev/null", "/tmp/x.sh", "", "/",
         "a" * 1023, "/" + "b" * 1022]
PIDS = {"helper": 0, "parent": 1, "self": 2, "raw": 3}


def get_input(records, dirt=False, ac_on=1, lockdown=0, maintenance=0, basedir=0, log_mode=0, tracked=()):
    i = Input()
    i.boolean(dirt)
    i.integral(0, 66, len(tracked))  # entries tracked beforehand: (pid choice, fd)
    for pid_choice, fd in tracked:
        i.integral(0, 2, pid_choice)
        i.integral(0, 9, fd)
    i.integral(0, 2, ac_on)
    i.integral(0, 2, lockdown)
    i.integral(0, 2, maintenance)
    i.integral(0, 2, log_mode)
    i.boolean(True)  # start time 0
    i.integral(0, 3, basedir)
    i.integral(1, 12, len(records))
    for r in records:
        raw = r.get("raw")
        how = 0 if raw is not None else 0x80 | PIDS[r.get("pid", "helper")]
        fields = "fd" in r
        if fields: how |= 4
        if "name" in r: how |= 8
        if "oldname" in r: how |= 0x10
        i.u8(how)
        body = raw or b""
        i.integral(0, RECORD_MAX, len(body))
        i.bytes(body)
        if raw is not None:
            continue
        i.integral(0, len(TYPES) - 1, TYPES.index(r["type"]))
        if fields:
            i.integral(0, len(FDS) - 1, FDS.index(r["fd"]))
            i.integral(0, len(FDS) - 1, FDS.index(r.get("oldfd", -100)))
            rc = r.get("rc", 0)
            i.boolean(rc == 0)
            if rc != 0: i.integral(-2, 8, rc)
            flags = r.get("flags", 0x241)
            i.boolean(flags == 0x241)
            if flags != 0x241: i.u32(flags)
        for key in ("name", "oldname"):
            if key in r:
                i.integral(0, len(NAMES) - 1, NAMES.index(r[key]))
    return i.data()


GET = {
    "exec_approved": [{"type": "execve_pre", "fd": -100, "name": "/tool"}],
    "exec_blocked_lockdown": [{"type": "execve_pre", "fd": -100, "name": "/script.py"}],
    "exec_unrecognized": [{"type": "execve_pre", "fd": -100, "name": "/run.sh"}],
    "exec_relative": [{"type": "execve_pre", "fd": -100, "name": "tool"}],
    "script_open": [{"type": "open_pre", "fd": -100, "name": "/run.sh"}],
    "mmap": [{"type": "mmap_pre", "fd": 5}],
    "write_then_close": [{"type": "open_post", "fd": 3, "rc": 3, "name": "/run.sh"},
                         {"type": "close_pre", "fd": 3}],
    "dup": [{"type": "open_post", "fd": 3, "rc": 3, "name": "/run.sh"},
            {"type": "dup_pre", "fd": 4, "oldfd": 3}, {"type": "dup_post", "fd": 4, "oldfd": 3, "rc": 4},
            {"type": "close_pre", "fd": 4}],
    "changes": [{"type": "chmod_post", "fd": -100, "name": "/run.sh"},
                {"type": "fchown_post", "fd": 4},
                {"type": "rename_post", "fd": -100, "name": "/run.sh", "oldname": "/tool"},
                {"type": "unlink_post", "fd": -100, "name": "/app.log"}],
    "long_names": [{"type": "rename_post", "fd": -100, "name": "a" * 1023, "oldname": "/" + "b" * 1022}],
    "own_and_unhandled": [{"type": "execve_pre", "fd": -100, "name": "/tool", "pid": "self"},
                          {"type": "write_pre", "fd": 3}, {"type": "out_of_range", "fd": 3},
                          {"type": "null", "fd": 3}],
    "raw_record": [{"raw": struct.pack("<8xIIIII4xI4xqiiIII12xII", 32, 7, 0, 1, 0, 1, 0, -100, 0, 0, 0, 0, 5, 0)
                    + b"/tool"}],
}


# ---- fuzz_command: command text, kind, size, status, response.
KINDS = [None, "string", "raw", "array", "error", "jerror", "json", "j"]
HEADER_KINDS = ["string", "array", "error", "jerror", "json", "raw"]


def command_input(text, kind, payload, header=None, size=0, status=0):
    i = Input()
    i.random_length_string(text)
    i.integral(0, 8, KINDS.index(kind))
    if size == 0:
        i.integral(0, 4, 0)
    else:
        i.integral(0, 4, 2)
        i.integral(16, 16384, size)
    i.boolean(status == 0)
    if status != 0: i.integral(-300, 300, status)
    i.boolean(header is not None)
    if header is not None:
        hkind, a, b = header
        i.boolean(True)
        i.integral(0, 5, HEADER_KINDS.index(hkind))
        for v in (a, b):
            i.integral(0, 3, 2)
            i.integral(0, 400, v)
    i.integral(0, 9000, len(payload))
    i.bytes(payload)
    return i.data()


COMMAND = {
    "json_object": command_input(b'"getstate"', None, b'{"a":[1,2],"b":"c"}'),
    "json_broken": command_input(b'"q"', None, b"[1 2]"),
    "string": command_input(b'"q"', "string", b"plain text"),
    "raw_with_header": command_input(b'"q"', "raw", b"payload", header=("error", 1, 2)),
    "array": command_input(b'"q"', None, struct.pack("<QQQ", 7, 1 << 40, 0) + b"abc", header=("array", 1, 2)),
    "error": command_input(b'"q"', None, b"bad request", header=("error", 0, 0)),
    "jerror_short": command_input(b'{"cmd":"set","value":[1,2,3]}', None, b"syntax", header=("jerror", 8, 14)),
    "jerror_long": command_input(b'{"cmd":"' + b"x" * 150 + b'","value":1}', "json", b"bad value",
                                 header=("jerror", 120, 400)),
    "small_buffer": command_input(b'"q"', None, b"x" * 40, size=16),
    "driver_failure": command_input(b'"q"', None, b"", status=-5),
    "positive_status": command_input(b'"q"', "string", b"ok", status=3),
}


# ---- fuzz_sieve: steps of sieve construction and other compiler calls.
def sieve_step(i, strings, backward=False, depth=None, pool=True):
    i.integral(0, 3, 1)  # a sieve
    i.boolean(backward)
    i.integral(0, 48, len(strings))
    for s in strings:
        i.integral(0, 15, 1)  # a string, not a number
        i.random_length_string(s)
    if depth is None:
        i.integral(0, 4, 0)
    elif depth >= 2**32:
        i.integral(0, 4, 3)  # 2^32 plus a small number
        i.integral(0, 70, depth - 2**32)
    else:
        i.integral(0, 4, 1)
        i.integral(-3, 70, depth)
    i.boolean(pool)


CALLS = ["newsieve", "suffixlist", "clear", "constant", "procedure", "newcode", "newjump", "newreturn", "link",
         "sign", "guid", "default", "tostring"]


def call_step(i, name, args=()):
    i.integral(0, 3, 0)
    i.integral(0, len(CALLS) - 1, CALLS.index(name))
    if name in ("newsieve", "suffixlist"):
        i.random_length_string(args[0])
        return
    for a in args:
        i.integral(0, 3, 0)
        i.integral(-2, 300, a)


def sieve_input(steps):
    i = Input()
    for step in steps:
        step(i)
    return i.data()


SIEVE = {
    "extensions": sieve_input([lambda i: sieve_step(i, [b".sh", b".py", b".pl", b".exe", b".so"], backward=True)]),
    "prefixes": sieve_input([lambda i: sieve_step(i, [b"/usr/bin/", b"/usr/sbin/", b"/opt/", b"/tmp/"], depth=12)]),
    "depth_beyond_32_bits": sieve_input([lambda i: sieve_step(i, [b"/usr/bin/", b"/opt/"], depth=2**32 + 3)]),
    "shared_prefix": sieve_input([lambda i: sieve_step(i, [b"abc", b"ab", b"abcdef", b"b"], depth=4)]),
    "deep": sieve_input([lambda i: sieve_step(i, [bytes(range(32, 127)), b"x" * 80], depth=64)]),
    "two_slots": sieve_input([lambda i: sieve_step(i, [b"a"]), lambda i: sieve_step(i, [b"b", b"c"]),
                              lambda i: sieve_step(i, [b"d"])]),
    "program": sieve_input([lambda i: call_step(i, "default"), lambda i: call_step(i, "procedure", (3,)),
                            lambda i: call_step(i, "newcode", (1, 2, 3, 0, 4)),
                            lambda i: call_step(i, "newjump", (1,)), lambda i: call_step(i, "newreturn", (2,)),
                            lambda i: call_step(i, "link", (32, 2)), lambda i: call_step(i, "constant", (77,)),
                            lambda i: call_step(i, "suffixlist", (b"sh\0py\0pl\0",)), lambda i: call_step(i, "sign"),
                            lambda i: call_step(i, "tostring")]),
}


# ---- fuzz_decrypt: options, then how the harness prepares the file.
CIPHERS = ["aes-256-cbc", "aes-128-ecb", "aes-256-ctr", "aes-128-cfb", "aes-192-ofb", "des-ede3-cbc",
           "camellia-128-cbc", "chacha20", "aria-256-cbc", "aes-256-gcm", "aes-128-ccm", "aes-128-ocb",
           "chacha20-poly1305", "aes-128-xts", "id-aes128-wrap", "id-aes256-wrap-pad", "aes-128-cbc-hmac-sha1",
           "sm4-cbc", "bf-cbc", "rc4", "des-cbc"]
KEY_IV = {"aes-256-cbc": (32, 16), "aes-128-ecb": (16, 0), "aes-256-ctr": (32, 16), "aes-128-cfb": (16, 16),
          "aes-192-ofb": (24, 16), "des-ede3-cbc": (24, 8), "camellia-128-cbc": (16, 16), "chacha20": (32, 16),
          "aria-256-cbc": (32, 16), "aes-256-gcm": (32, 12), "aes-128-ccm": (16, 12), "aes-128-ocb": (16, 12),
          "chacha20-poly1305": (32, 12), "aes-128-xts": (32, 16), "id-aes128-wrap": (16, 8)}
COMPS = {None: 0, "z": 1, "zlib": 2}


def decrypt_input(cipher, plain, comp=None, prepare=True, damage=0, damage_at=0, level=6, raw_file=None):
    i = Input()
    if cipher is None:
        i.integral(0, 5, 0)
    else:
        i.integral(0, 5, 3)
        i.integral(0, len(CIPHERS) - 1, CIPHERS.index(cipher))
    klen, ivlen = KEY_IV.get(cipher, (16, 16))
    for n, fill in ((klen, b"K"), (ivlen, b"I")):
        i.integral(0, 7, 5)  # exactly the wanted length
        i.bytes((fill * 64)[:n])
    i.integral(0, 4, COMPS[comp])
    i.boolean(prepare)
    i.integral(0, 9, level)
    i.integral(0, 3, damage)
    i.u16(damage_at)
    return i.data(raw_file if raw_file is not None else plain)


RULES = b"".join(b"rule %d allow /usr/bin/tool%d\0\xff\n" % (n, n % 7) for n in range(40))
DECRYPT = {
    "cbc_zlib": decrypt_input("aes-256-cbc", RULES, comp="z"),
    "ecb": decrypt_input("aes-128-ecb", RULES),
    "ctr_zlib": decrypt_input("aes-256-ctr", RULES, comp="zlib"),
    "chacha20": decrypt_input("chacha20", RULES),
    "gcm": decrypt_input("aes-256-gcm", RULES, comp="z"),
    "wrap": decrypt_input("id-aes128-wrap", RULES[:64]),
    "zlib_only": decrypt_input(None, RULES, comp="z"),
    "plain": decrypt_input(None, RULES),
    "empty_cbc": decrypt_input("aes-256-cbc", b"", comp="z"),
    "truncated_cbc_zlib": decrypt_input("aes-256-cbc", RULES, comp="z", damage=1, damage_at=3),
    "corrupt_zlib": decrypt_input(None, RULES, comp="z", damage=2, damage_at=20),
    "raw_garbage_cbc": decrypt_input("aes-256-cbc", b"", prepare=False, raw_file=bytes(range(256)) * 2),
}


def main():
    for name, text in JSON.items():
        write("fuzz_json_decode", name, text)
        write("fuzz_json_parser", name, text)
    for name, records in GET.items():
        write("fuzz_get", name, get_input(records))
    write("fuzz_get", "exec_lockdown_maintenance", get_input(GET["exec_unrecognized"], lockdown=1, maintenance=1))
    write("fuzz_get", "fresh_filter", get_input([{"type": "close_pre", "fd": 7}] * 3, dirt=True, basedir=1))
    write("fuzz_get", "logged", get_input(GET["write_then_close"] + GET["exec_approved"] + GET["changes"],
                                          log_mode=1))
    write("fuzz_get", "logged_events_only", get_input(GET["own_and_unhandled"], log_mode=2))
    # A full ring, half of it for processes that have gone, then a write open:
    # the open makes room with a dead-process scan.
    full = [(1 if n % 2 else 0, 3 + n % 5) for n in range(64)]
    write("fuzz_get", "full_ring", get_input(GET["write_then_close"], tracked=full))
    for name, data in COMMAND.items():
        write("fuzz_command", name, data)
    for name, data in SIEVE.items():
        write("fuzz_sieve", name, data)
    for name, data in DECRYPT.items():
        write("fuzz_decrypt", name, data)
    return 0


if __name__ == "__main__":
    sys.exit(main())

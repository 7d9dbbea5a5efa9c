// The driver's rule program interpreter on uploaded images of random bytes:
// a run reads only inside the image, ends, and returns an action.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "driver/rule_program.h"

namespace {

struct Subjects {
    const char* text[3];
    bool readable;
};

bool text(void* ctx, uint32_t subject, const char** s, size_t* n)
{
    const Subjects& t = *static_cast<const Subjects*>(ctx);
    if (!t.readable || subject > drv::kSubjectFilePath) return false;
    *s = t.text[subject];
    *n = strlen(*s);
    return true;
}

}  // namespace

// The input is laid over a cleared image from its counters on (byte 32),
// the way the compiler lays out what it builds.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static unsigned char image[drv::kRuleImageSize];
    memset(image, 0, sizeof image);
    memcpy(image, "\"program\"", 9);
    size_t n = size < sizeof image - 32 ? size : sizeof image - 32;
    memcpy(image + 32, data, n);
    Subjects subjects[] = {{{"cat", "/usr/bin/cat", "/srv/a"}, true},
                           {{"python3.11", "/usr/bin/python3.11", "/tmp/x.py"}, true},
                           {{"", "", ""}, false}};
    for (uint32_t type : {0u, 24u, 30u, 49u, 50u})
        for (Subjects& s : subjects)
            for (uint32_t flags : {0u, 1u, 0x241u}) {
                drv::RuleInput in{flags, text, &s};
                int action = drv::run_rules(image, type, in);
                if (action < drv::kRuleIgnore || action > drv::kRuleNotify) abort();
            }
    return 0;
}

// The rule program interpreter. Jumps only go forward, so a procedure of N
// words ends after at most N steps.
#include "rule_program.h"

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>

namespace drv {
namespace {

// The image layout (a wire format shared with the compiler).
constexpr size_t kGuidAt = 16, kGuidSize = 16, kTrailerAt = kRuleImageSize - kGuidSize;
constexpr size_t kCodeCountAt = 32, kConstantCountAt = 36, kListCountAt = 40;
constexpr size_t kConstantsAt = 48, kListsAt = 1072, kListSize = 1024, kLinksAt = 5176, kCodeAt = 5376;
constexpr uint32_t kCodeWords = 1024, kConstantSlots = 256, kListSlots = 3, kEventTypes = 50;
constexpr unsigned char kMagic[] = "\"program\"";
constexpr unsigned char kSignMark = 0xAC;

uint32_t word_at(const unsigned char* image, size_t at)
{
    uint32_t w;
    memcpy(&w, image + at, sizeof w);  // little-endian, as the machines this runs on
    return w;
}

// One of the names of a list (NUL-separated, ended by an empty name or the
// slot's end) for which match(subject, name) holds.
template <typename Match>
bool any_name(const unsigned char* list, const char* s, size_t n, Match match)
{
    size_t at = 0;
    while (at < kListSize && list[at]) {
        const char* name = reinterpret_cast<const char*>(list + at);
        size_t len = strnlen(name, kListSize - at);
        if (match(s, n, name, len)) return true;
        at += len + 1;
    }
    return false;
}

bool equals(const char* s, size_t n, const char* name, size_t len)
{
    return n == len && memcmp(s, name, n) == 0;
}

bool begins(const char* s, size_t n, const char* name, size_t len)
{
    return n >= len && memcmp(s, name, len) == 0;
}

bool ends(const char* s, size_t n, const char* name, size_t len)
{
    return n >= len && memcmp(s + n - len, name, len) == 0;
}

bool contains(const char* s, size_t n, const char* name, size_t len)
{
    if (len > n) return false;
    for (size_t i = 0; i + len <= n; i++)
        if (memcmp(s + i, name, len) == 0) return true;
    return false;
}

// A test's outcome: 1 holds, 0 does not, -1 cannot be told (ADVICE).
int test(const unsigned char* image, uint32_t w, const RuleInput& in)
{
    const uint32_t op = w & 0x7F, a = (w >> 8) & 0xFF, b = (w >> 16) & 0xFF;
    if (op == kRuleFlagsAny) {
        if (b >= kConstantSlots || b >= word_at(image, kConstantCountAt)) return -1;
        uint32_t flags = in.flags;
        if (in.read_flags && !in.read_flags(in.ctx, &flags)) return -1;
        return (flags & word_at(image, kConstantsAt + 4 * b)) != 0;
    }
    if (op < kRuleIs || op > kRuleBegins) return -1;
    if (b >= kListSlots || b >= word_at(image, kListCountAt)) return -1;
    const char* s = nullptr;
    size_t n = 0;
    if (!in.text || !in.text(in.ctx, a, &s, &n)) return -1;
    const unsigned char* list = image + kListsAt + kListSize * b;
    switch (op) {
    case kRuleIs: return any_name(list, s, n, equals);
    case kRuleHas: return any_name(list, s, n, contains);
    case kRuleEnds: return any_name(list, s, n, ends);
    default: return any_name(list, s, n, begins);
    }
}

bool is_signed(const unsigned char* image)
{
    return memcmp(image, kMagic, sizeof kMagic - 1) == 0 && image[kGuidAt] == kSignMark &&
           image[kGuidAt + kGuidSize - 1] == 0 && memcmp(image + kGuidAt, image + kTrailerAt, kGuidSize) == 0;
}

using Image = std::array<unsigned char, kRuleImageSize>;
// Read by every open, replaced by an upload: a reader lock costs no wait
// while nobody uploads.
std::shared_mutex g_rules_mu;
std::unique_ptr<const Image> g_rules;

}  // namespace

int run_rules(const unsigned char* image, uint32_t type, const RuleInput& in)
{
    if (type >= kEventTypes) return kRuleAdvice;
    uint32_t count = word_at(image, kCodeCountAt);
    if (count > kCodeWords) count = kCodeWords;
    const uint32_t header = word_at(image, kLinksAt + 4 * type);
    if (header >= count) return kRuleAdvice;
    const uint32_t declared = word_at(image, kCodeAt + 4 * header);
    uint64_t pos = 0;  // within the procedure
    while (pos < declared && header + 1 + pos < count) {
        const uint32_t w = word_at(image, kCodeAt + 4 * (header + 1 + pos));
        if ((w & 0xFF) == kRuleJump) {
            const uint64_t landing = pos + 1 + (w >> 8);
            if (landing >= declared) {
                const uint64_t action = landing - declared;
                return action <= kRuleNotify ? (int)action : kRuleAdvice;
            }
            pos = landing;
            continue;
        }
        int holds = test(image, w, in);
        if (holds < 0) return kRuleAdvice;
        if (w & 0x80) holds = !holds;
        pos += holds ? 1 : 2;
    }
    return kRuleAdvice;
}

bool load_rules(const char* bytes, size_t n)
{
    // The command drops the image's last byte, a zero of a signed image.
    std::unique_ptr<Image> image;
    if (n + 1 >= kRuleImageSize) {
        image = std::make_unique<Image>();
        memcpy(image->data(), bytes, n < kRuleImageSize ? n : kRuleImageSize);
        if (n < kRuleImageSize) (*image)[kRuleImageSize - 1] = 0;
        if (!is_signed(image->data())) image.reset();
    }
    const bool loaded = image != nullptr;
    std::lock_guard<std::shared_mutex> lock(g_rules_mu);
    g_rules = std::move(image);  // what is not a signed image leaves no program
    return loaded;
}

void unload_rules()
{
    std::lock_guard<std::shared_mutex> lock(g_rules_mu);
    g_rules.reset();
}

int judge_by_rules(uint32_t type, const RuleInput& in)
{
    std::shared_lock<std::shared_mutex> lock(g_rules_mu);
    return g_rules ? run_rules(g_rules->data(), type, in) : kRuleAdvice;
}

}  // namespace drv

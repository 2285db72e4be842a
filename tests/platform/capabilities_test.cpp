// The capability check behind the raw-discovery notice: reading CapEff out of a status text,
// and the notice naming the capability and this program file.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/capabilities.h"

namespace {

TEST(Capabilities, EffectiveSetFromStatusText) {
    struct Case {
        const char* text;
        std::optional<unsigned long long> expected;
    };
    const Case cases[] = {
        {"Name:\ttarnd\nCapInh:\t0000000000000000\nCapEff:\t000001fffeffffff\nCapBnd:\t0\n", 0x1fffeffffffULL},
        {"CapEff:\t0000000000002000", 0x2000ULL}, // last line without a line break
        {"CapEff:   0000000000000000\n", 0ULL},
        {"CapPrm:\t0000000000002000\n", std::nullopt},     // only another set
        {"XCapEff:\t0000000000002000\n", std::nullopt},    // not at the start of a line
        {"CapEff:\t\n", std::nullopt},                     // empty value
        {"CapEff:\t00000000zz002000\n", std::nullopt},     // not hexadecimal
        {"CapEff:\t11111111111111111111\n", std::nullopt}, // too wide
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(effectiveCapabilities(c.text), c.expected) << c.text;
}

TEST(Capabilities, NoticeNamesTheCapabilityAndThisProgramFile) {
    const std::string notice = rawCaptureOffNotice();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_NE(notice.find("CAP_NET_RAW"), std::string::npos) << notice;
    EXPECT_NE(notice.find("setcap cap_net_raw+ep " + self + ")"), std::string::npos) << notice;
    EXPECT_EQ(notice.find('\n'), std::string::npos) << notice;
}

} // namespace

// Without CAP_NET_RAW a search says once, on standard error, that the raw fallback is off,
// and still ends with its device table; with the capability it says nothing. tarnctl runs in
// a private network namespace, dropped to the user nobody with no capabilities by setpriv.

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "support/netns.h"

namespace {

const std::string kTarnctl = std::string(TARN_BINARY_DIR) + "/src/app/tarnctl";
const std::string kNotice = "Raw Ethernet discovery is off";

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST(RawNotice, SaidOnceWithoutTheCapabilityAndNeverWithIt) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for the network namespace and to drop to the user nobody";
    if (testsupport::runCommand({"setpriv", "--version"}).exitCode != 0)
        GTEST_SKIP() << "setpriv (util-linux) is not installed";
    if (testsupport::runCommand({"unshare", "-n", "true"}).exitCode != 0)
        GTEST_SKIP() << "no private network namespace on this machine";

    const auto without = testsupport::runCommand({"unshare", "-n", "setpriv", "--reuid=65534", "--regid=65534",
                                                  "--clear-groups", "--inh-caps=-all", kTarnctl, "search"});
    EXPECT_EQ(without.exitCode, 0) << without.output;
    EXPECT_EQ(count(without.output, kNotice), 1u) << without.output;
    EXPECT_EQ(count(without.output, "tarnctl: " + kNotice + ": it needs root or CAP_NET_RAW"), 1u) << without.output;
    EXPECT_NE(without.output.find("0 device(s) searched."), std::string::npos) << without.output;

    const auto with = testsupport::runCommand({"unshare", "-n", kTarnctl, "search"});
    EXPECT_EQ(with.exitCode, 0) << with.output;
    EXPECT_EQ(count(with.output, kNotice), 0u) << with.output;
}

} // namespace

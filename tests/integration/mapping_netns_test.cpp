// The namespace helpers the end-to-end tests stand on: a forked body in a fresh namespace
// reports its failures, and named namespaces joined by a veth pair carry traffic between
// them and nowhere else.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include "support/netns.h"

namespace {

bool haveSocat() {
    return ::access("/usr/bin/socat", X_OK) == 0;
}

TEST(NetnsHelpers, FreshNamespaceHasOnlyLoopbackAndPassesFailuresBack) {
    TARN_IN_FRESH_NETNS({
        // Only `lo`, and it is up.
        EXPECT_NE(::if_nametoindex("lo"), 0u);
        struct if_nameindex* names = ::if_nameindex();
        ASSERT_NE(names, nullptr);
        int count = 0;
        for (auto* n = names; n->if_index != 0; ++n)
            ++count;
        ::if_freenameindex(names);
        EXPECT_EQ(count, 1);
    });
    const testsupport::NamespaceRun probe = testsupport::runInFreshNetworkNamespace([] {});
    if (probe.outcome == testsupport::NamespaceRun::Unavailable)
        GTEST_SKIP() << probe.reason;
    // A failure inside the child fails the test in the parent.
    EXPECT_NONFATAL_FAILURE(TARN_IN_FRESH_NETNS(ADD_FAILURE() << "child failure"), "in the namespace child");
}

TEST(NetnsHelpers, VethPairJoinsTwoNamedNamespaces) {
    if (!haveSocat())
        GTEST_SKIP() << "socat is not installed";
    testsupport::NamedNetns a("tarn-a-"), b("tarn-b-");
    if (!a.ok() || !b.ok())
        GTEST_SKIP() << "ip netns unavailable: " << a.error() << b.error();
    testsupport::VethPair link(a, "10.77.9.1/24", b, "10.77.9.2/24");
    ASSERT_TRUE(link.ok()) << link.error();
    const auto shown = b.run({"ip", "-4", "addr", "show", "dev", link.nameB()});
    EXPECT_NE(shown.output.find("10.77.9.2/24"), std::string::npos) << shown.output;

    const pid_t server = b.spawn({"socat", "TCP-LISTEN:5009,bind=10.77.9.2,reuseaddr", "PIPE"});
    ASSERT_GT(server, 0);
    const auto client = a.run({"socat", "-u", "OPEN:/dev/null", "TCP:10.77.9.2:5009,retry=100,interval=0.05"});
    EXPECT_EQ(client.exitCode, 0) << client.output;
    b.stop(server);
}

} // namespace

// The test-only override of the dead-peer times: only four positive numbers replace them.

#include <gtest/gtest.h>

#include "bridge/tcp_tuning.h"

namespace {

TEST(TcpTuning, OverrideTakesFourPositiveNumbersAndNothingElse) {
    const auto tuning = parseTcpTuning("1,2,3,4500");
    ASSERT_TRUE(tuning.has_value());
    EXPECT_EQ(tuning->keepIdle.count(), 1);
    EXPECT_EQ(tuning->keepInterval.count(), 2);
    EXPECT_EQ(tuning->keepCount, 3);
    EXPECT_EQ(tuning->userTimeout.count(), 4500);

    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "0,1,1,1000", "1,-1,1,1000", "1,1,1,1000x", "a,1,1,1000",
                            "1,,1,1000", " 1,1,1,1000", "1,1,1,99999999999"})
        EXPECT_FALSE(parseTcpTuning(bad).has_value()) << '"' << bad << '"';
}

TEST(TcpTuning, DeadPeerIsNoticedWithinFortyFiveSeconds) {
    // Idle: probing starts after keepIdle, and the user time-out ends an unanswered probe
    // run; writing: the user time-out alone. Either way the first probe or retransmission
    // after the limit, at most one interval later, ends the connection.
    const auto idle = std::max(kTcpTuning.keepIdle + kTcpTuning.keepInterval * kTcpTuning.keepCount,
                               std::chrono::duration_cast<std::chrono::seconds>(kTcpTuning.userTimeout)) +
                      kTcpTuning.keepInterval;
    EXPECT_LE(idle.count(), 45);
    EXPECT_GE(kTcpTuning.userTimeout.count(), 20000) << "a slow but live device must not be given up";
}

} // namespace

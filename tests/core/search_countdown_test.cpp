// The search dialog's count-down: seven ticks over the UDP and raw phases, then the finish
// message once.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "core/search_countdown.h"
#include "device/kt550_node.h"
#include "device/search_job.h"

namespace {

class Countdown : public ::testing::Test {
protected:
    SearchProgress progress;
    int searches = 0;
    int finished = 0;
    SearchCountdown countdown{progress, [this] { ++searches; }, [this] { ++finished; }};

    static _KT550Node answer(const char* name, std::uint8_t last) {
        _KT550Node node;
        setNodeText(node.deviceName, name, std::strlen(name));
        node.mac[5] = last;
        node.ip[0] = 10;
        node.ip[3] = last;
        return node;
    }
};

TEST_F(Countdown, SevenTicksOfUdpAndRawPhasesThenTheFinishMessage) {
    countdown.onShow();
    EXPECT_EQ(searches, 1);
    EXPECT_TRUE(countdown.timerOn());
    EXPECT_EQ(countdown.total(), 7);
    EXPECT_FALSE(countdown.canClose()) << "no close even before the first tick";

    progress.addUdpAnswer(answer("udp", 1));
    progress.setRawSearch(true);
    progress.addRawAnswer(answer("raw-a", 2));
    progress.addRawAnswer(answer("raw-b", 3));

    const int shownRemaining[] = {6, 5, 4, 3, 2, 1, 0};
    for (int tick = 0; tick < 7; ++tick) {
        SCOPED_TRACE(tick + 1);
        countdown.onTick();
        EXPECT_EQ(countdown.remaining(), shownRemaining[tick]);
        EXPECT_FALSE(countdown.canClose());
        const bool rawPhase = tick >= 4;
        char status[80];
        std::snprintf(status, sizeof status, "Find %d Device(s); time out remains = %d second(s)", rawPhase ? 2 : 1,
                      shownRemaining[tick]);
        EXPECT_EQ(countdown.status(), status);
        ASSERT_EQ(countdown.rows().size(), rawPhase ? 2u : 1u);
        EXPECT_EQ(countdown.rows()[0][1], rawPhase ? "raw-a" : "udp");
    }
    EXPECT_EQ(countdown.rows()[1], (SearchCountdown::Row{"2", "raw-b", "00.00.00.00.00.03", "10.0.0.3"}));
    EXPECT_EQ(finished, 0);

    progress.setFinished(true);
    countdown.onTick(); // the eighth
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(countdown.canClose());
    countdown.onTick();
    EXPECT_EQ(finished, 1) << "reported once, however long the window takes to close the dialog";

    countdown.onClose();
    EXPECT_FALSE(countdown.timerOn());
    EXPECT_TRUE(countdown.rows().empty());
    EXPECT_FALSE(progress.rawSearch());
}

TEST_F(Countdown, UdpAnswersThroughoutWhenNoRawSearchRan) {
    countdown.onShow();
    progress.addUdpAnswer(answer("udp", 1));
    for (int tick = 0; tick < 7; ++tick) {
        countdown.onTick();
        ASSERT_EQ(countdown.rows().size(), 1u);
        EXPECT_EQ(countdown.rows()[0][1], "udp");
    }
}

TEST_F(Countdown, FinishWaitsForTheJobButNotForever) {
    countdown.onShow();
    for (int tick = 0; tick < 7; ++tick)
        countdown.onTick();
    countdown.onTick();
    EXPECT_EQ(finished, 0) << "the device list is not reported while the job still runs";
    EXPECT_FALSE(countdown.canClose());
    progress.setFinished(true);
    countdown.onTick();
    EXPECT_EQ(finished, 1);

    // A job that never ends cannot hold the dialog open for good.
    countdown.onShow();
    EXPECT_FALSE(progress.finished()) << "showing starts a fresh search";
    int ticks = 0;
    while (finished == 1 && ticks < 1000) {
        countdown.onTick();
        ++ticks;
    }
    EXPECT_EQ(finished, 2);
    EXPECT_LE(ticks, 7 + 61);
}

} // namespace

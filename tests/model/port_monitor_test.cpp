// The monitor's ring under overflow, and the capture file read back: whole, and damaged.

#include <gtest/gtest.h>

#include "model/monitor_file.h"
#include "model/port_monitor.h"

namespace {

using monitor::Flow;
using monitor::Record;

std::vector<Record> takeAll(monitor::Ring& ring, std::uint64_t& lost) {
    std::vector<Record> out;
    ring.take(out, std::size_t{1} << 30, lost);
    return out;
}

TEST(MonitorRing, KeepsTheNewestWholeRecordsAndCountsTheDroppedOnes) {
    monitor::Ring ring(4096);
    // 100 records of 100 bytes each, wrapping the storage many times over.
    for (int i = 0; i < 100; ++i)
        ring.push(Flow::kSent, i, reinterpret_cast<const std::uint8_t*>(std::string(100, char('a' + i % 26)).data()),
                  100);
    std::uint64_t lost = 0;
    const auto kept = takeAll(ring, lost);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(lost + kept.size(), 100u);
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const int i = static_cast<int>(lost + k);
        EXPECT_EQ(kept[k].timeUs, i);
        EXPECT_EQ(kept[k].bytes, std::string(100, char('a' + i % 26)));
    }
    lost = 0;
    EXPECT_TRUE(takeAll(ring, lost).empty());
    EXPECT_EQ(lost, 0u) << "a drop is told once";
    ring.end();
    EXPECT_TRUE(ring.ended());
}

TEST(MonitorTap, RecordsOnlyForItsWatchersAndEndsTheirRingsWhenItGoes) {
    std::shared_ptr<monitor::Watch> watch;
    {
        monitor::Tap tap;
        EXPECT_FALSE(tap.watched());
        watch = tap.watch(4096);
        EXPECT_TRUE(tap.watched());
        EXPECT_TRUE(tap.takePrimeRequest());
        tap.event("port open");
        auto second = tap.watch(4096);
        second.reset();
        EXPECT_TRUE(tap.watched()) << "the first watcher still watches";
        EXPECT_EQ(tap.work(), 1u);
    }
    std::uint64_t lost = 0;
    const auto records = takeAll(watch->ring(), lost);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].bytes, "port open");
    EXPECT_TRUE(watch->ring().ended());
}

TEST(MonitorFile, ReadsBackWhatWasWrittenAndRefusesDamage) {
    const std::vector<Record> records = {{1000, Flow::kEvent, "port open"},
                                         {1500, Flow::kAppWrote, std::string("\x00\xff\r\n", 4)},
                                         {1600, Flow::kLost, "12"},
                                         {1700, Flow::kDelivered, ""}};
    std::string file = monitor::encodeHeader(-42, 7);
    for (const Record& record : records)
        monitor::appendRecord(file, record);
    const auto capture = monitor::decodeCapture(file);
    ASSERT_TRUE(capture) << capture.error();
    EXPECT_EQ(capture->wallOffsetUs, -42);
    EXPECT_EQ(capture->comNumber, 7);
    ASSERT_EQ(capture->records.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(capture->records[i].timeUs, records[i].timeUs);
        EXPECT_EQ(capture->records[i].flow, records[i].flow);
        EXPECT_EQ(capture->records[i].bytes, records[i].bytes);
    }

    // A record of a flow this reader does not know is passed over; a longer header too.
    std::string later = file;
    later[10] = 14; // two more header bytes
    later.insert(24, "xy");
    Record unknown{1800, Flow::kEvent, "?"};
    monitor::appendRecord(later, unknown);
    later[later.size() - 14] = 99;
    const auto skipped = monitor::decodeCapture(later);
    ASSERT_TRUE(skipped) << skipped.error();
    EXPECT_EQ(skipped->records.size(), records.size());

    struct Damage {
        const char* what;
        std::string contents;
        const char* error;
    };
    std::string newer = file;
    newer[8] = 2;
    std::string huge = monitor::encodeHeader(0, 1);
    monitor::appendRecord(huge, {0, Flow::kSent, "x"});
    huge[huge.size() - 2] = '\x7f'; // the length's top byte
    const std::vector<Damage> damaged = {
        {"empty", "", "not a port monitor capture"},
        {"another file", "TARNMOM\n" + file.substr(8), "not a port monitor capture"},
        {"newer version", newer, "capture version 2 is newer than this program reads (1)"},
        {"header cut", file.substr(0, 20), "capture header is cut short"},
        {"record header cut", file.substr(0, file.size() - 5), "capture cut short at byte"},
        {"record data cut", file.substr(0, 24 + 13 + 5), "capture cut short or damaged at byte 24"},
        {"length beyond the file", huge, "capture cut short or damaged at byte 24"},
    };
    for (const Damage& damage : damaged) {
        const auto result = monitor::decodeCapture(damage.contents);
        ASSERT_FALSE(result) << damage.what;
        EXPECT_EQ(result.error().rfind(damage.error, 0), 0u) << damage.what << ": " << result.error();
    }
}

} // namespace

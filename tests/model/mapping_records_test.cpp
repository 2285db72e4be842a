// The mapping file's records read and written without running them: what tarnctl works on
// when no program owns the mappings.

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "model/mapping_file.h"
#include "model/model_test_env.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using modeltest::readBytes;
using modeltest::writeBytes;

// A record whose every byte differs from its neighbours, so a shifted or refilled byte shows.
DescRecord patterned(std::uint8_t seed) {
    DescRecord record{};
    for (std::size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<std::uint8_t>(seed + i * 7);
    return record;
}

Bytes bytesOf(const std::vector<DescRecord>& records) {
    Bytes bytes;
    for (const DescRecord& record : records)
        bytes.insert(bytes.end(), record.begin(), record.end());
    return bytes;
}

class MappingRecordsTest : public modeltest::ModelTest {};

TEST_F(MappingRecordsTest, ReadTakesWholeRecordsByteForByte) {
    const DescRecord unknownMode = patterned(1); // mode bytes 0x1D.. : no mode this program knows
    const DescRecord second = patterned(90);
    struct Case {
        const char* name;
        Bytes contents;
        std::vector<DescRecord> expected;
    };
    Bytes torn = bytesOf({unknownMode, second});
    torn.insert(torn.end(), 50, 0xEE);
    const Case cases[] = {
        {"empty file", {}, {}},
        {"shorter than one record", Bytes(111, 0x33), {}},
        {"two records", bytesOf({unknownMode, second}), {unknownMode, second}},
        {"torn tail left out", torn, {unknownMode, second}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(mappingFile(), c.contents);
        const auto records = readMappingRecords(mappingFile());
        ASSERT_TRUE(records.has_value());
        EXPECT_EQ(*records, c.expected);
    }
}

TEST_F(MappingRecordsTest, MissingFileIsNoRecordsAndAnUnreadableOneIsNothing) {
    const auto missing = readMappingRecords(mappingFile());
    ASSERT_TRUE(missing.has_value());
    EXPECT_TRUE(missing->empty());

    // A FIFO (a blocking open would hang) and a folder in the file's place.
    std::filesystem::create_directories(m_config + "/tarn");
    ASSERT_EQ(::mkfifo(mappingFile().c_str(), 0600), 0);
    EXPECT_FALSE(readMappingRecords(mappingFile()).has_value());
    std::filesystem::remove(mappingFile());
    std::filesystem::create_directories(mappingFile());
    EXPECT_FALSE(readMappingRecords(mappingFile()).has_value());
}

TEST_F(MappingRecordsTest, WriteCreatesTheFolderAndReplacesTheFileWhole) {
    ASSERT_FALSE(std::filesystem::exists(m_config));
    const std::vector<DescRecord> first = {patterned(3), patterned(4), patterned(5)};
    ASSERT_TRUE(writeMappingRecords(mappingFile(), first));
    EXPECT_EQ(readBytes(mappingFile()), bytesOf(first));
    EXPECT_EQ(readMappingRecords(mappingFile()), first);

    // Fewer records: nothing of the longer old file remains, and no temporary file is left.
    ASSERT_TRUE(writeMappingRecords(mappingFile(), {patterned(6)}));
    EXPECT_EQ(readBytes(mappingFile()), bytesOf({patterned(6)}));
    ASSERT_TRUE(writeMappingRecords(mappingFile(), {}));
    EXPECT_EQ(std::filesystem::file_size(mappingFile()), 0u);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_config + "/tarn"))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST_F(MappingRecordsTest, WriteThatCannotMakeItsFolderChangesNothing) {
    writeBytes(m_root + "/plain-file", {1, 2, 3});
    EXPECT_FALSE(writeMappingRecords(m_root + "/plain-file/tarn/79828669767684658278", {patterned(1)}));
    EXPECT_EQ(readBytes(m_root + "/plain-file"), (Bytes{1, 2, 3}));
}

} // namespace

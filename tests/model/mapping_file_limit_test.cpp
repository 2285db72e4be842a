// A mapping file longer than any user's list is refused whole: logged once, nothing loaded,
// and never replaced by a save.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "bridge/message_log.h"
#include "core/mapping_assembly.h"
#include "mapping/thread_set.h"
#include "model/mapping_file.h"
#include "model/mapping_lists.h"
#include "model/model_test_env.h"

namespace {

class MappingFileLimit : public modeltest::ModelTest {
protected:
    // A file of `bytes` zero bytes (records of mode 0, which nothing runs), made sparse.
    void makeFile(std::uintmax_t bytes) {
        std::filesystem::create_directories(m_config + "/tarn");
        { std::ofstream create(mappingFile(), std::ios::binary); }
        std::filesystem::resize_file(mappingFile(), bytes);
    }
    std::vector<std::string> m_logged;
};

TEST_F(MappingFileLimit, RecordsBeyondTheLimitRefuseTheWholeFileAndLeaveItAlone) {
    setMappingMessageSink([this](const std::string& text) { m_logged.push_back(text); });
    struct Case {
        std::uintmax_t bytes;
        bool accepted;
    };
    const Case cases[] = {
        {kMaxMappingRecords * kDescRecordSize, true},
        {kMaxMappingRecords * kDescRecordSize + kDescRecordSize - 1, true}, // a torn tail is no record
        {(kMaxMappingRecords + 1) * kDescRecordSize, false},
        {std::uintmax_t{1} << 40, false}, // a terabyte of holes: never read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        m_logged.clear();
        makeFile(c.bytes);
        struct stat before {};
        ASSERT_EQ(::stat(mappingFile().c_str(), &before), 0);

        MappingReadFailure failure = MappingReadFailure::Unreadable;
        const auto records = readMappingRecords(mappingFile(), &failure);
        EXPECT_EQ(records.has_value(), c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(failure, MappingReadFailure::TooLong);
        }

        MappingLists lists{&makeMappingThreads};
        loadMappingFile(lists);
        EXPECT_TRUE(lists.empty());
        if (c.accepted) {
            EXPECT_EQ(lists.preservedRecords.size(), kMaxMappingRecords);
            EXPECT_TRUE(m_logged.empty());
            continue;
        }
        EXPECT_TRUE(lists.preservedRecords.empty());
        EXPECT_EQ(m_logged, (std::vector<std::string>{"The mapping file holds more than 100000 records; none is "
                                                      "loaded and the file is left as it is."}));
        // An added mapping is not stored over the file.
        ASSERT_NE(lists.addMapping(4), nullptr);
        EXPECT_FALSE(saveMappingFile(lists));
        struct stat after {};
        ASSERT_EQ(::stat(mappingFile().c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(static_cast<std::uintmax_t>(after.st_size), c.bytes);
    }
    setMappingMessageSink(nullptr);
}

} // namespace

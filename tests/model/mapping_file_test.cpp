// The mapping file at byte level: layout, load order, rewrites after add and remove, records
// that cannot run, partial tails, and atomic replacement.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>

#include "bridge/message_log.h"
#include "core/mapping_assembly.h"
#include "mapping/thread_set.h"
#include "model/mapping_file.h"
#include "model/mapping_lists.h"
#include "model/model_test_env.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using modeltest::readBytes;
using modeltest::writeBytes;

Bytes record(std::int32_t com, std::int32_t mode, const char* ip, std::uint16_t local, std::uint16_t remote) {
    const DescRecord bytes = encodeDesc(testsupport::makeDesc(com, mode, ip, local, remote));
    return {bytes.begin(), bytes.end()};
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes slice(const Bytes& bytes, std::size_t recordIndex) {
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(recordIndex * kDescRecordSize);
    return {begin, begin + static_cast<std::ptrdiff_t>(kDescRecordSize)};
}

class MappingFileTest : public modeltest::ModelTest {
protected:
    bool linkExists(int com) const { return std::filesystem::exists(std::filesystem::symlink_status(linkOf(com))); }
    std::vector<std::string> folderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_config + "/tarn"))
            names.push_back(entry.path().filename().string());
        return names;
    }

    // Three records, one of each mode; the ports stay closed throughout, so no mapping ever
    // reaches for its peer.
    const Bytes m_server = record(3, kModeTcpServer, "0.0.0.0", 4100, 0);
    const Bytes m_client = record(4, kModeTcpClient, "10.0.0.5", 0, 5000);
    const Bytes m_udp = record(5, kModeUdp, "10.0.0.6", 4001, 4002);
};

TEST_F(MappingFileTest, PathFollowsTheConfigHome) {
    EXPECT_EQ(mappingFilePath(), mappingFile());
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    ::setenv("HOME", m_root.c_str(), 1);
    EXPECT_EQ(mappingFilePath(), m_root + "/.config/tarn/79828669767684658278");
}

TEST_F(MappingFileTest, MissingOrEmptyFileStartsWithNoMappings) {
    {
        MappingLists lists{&makeMappingThreads};
        loadMappingFile(lists);
        EXPECT_TRUE(lists.empty());
        EXPECT_FALSE(std::filesystem::exists(mappingFile())) << "load never writes";
    }
    writeBytes(mappingFile(), {});
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    EXPECT_TRUE(lists.empty());
    EXPECT_TRUE(lists.preservedRecords.empty());
}

TEST_F(MappingFileTest, RecordsLoadInFileOrderAsRunningMappings) {
    writeBytes(mappingFile(), join({m_server, m_client, m_udp}));
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 3u);
    ASSERT_EQ(lists.threadSets.size(), 3u);
    EXPECT_EQ(lists.comNumbers, (std::deque<std::int32_t>{3, 4, 5}));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lists.mappings[i]->index, static_cast<std::int32_t>(i));
        EXPECT_EQ(lists.mappings[i]->comNumber, static_cast<std::int32_t>(i + 3));
        EXPECT_TRUE(linkExists(static_cast<int>(i + 3)));
    }
    const TARNINFO& server = lists.at(0);
    EXPECT_TRUE(server.isTcp());
    EXPECT_TRUE(server.isServer());
    EXPECT_EQ(server.localPort(), 4100);
    EXPECT_EQ(server.control->enabled.load(), 0);

    const TARNINFO& client = lists.at(1);
    EXPECT_TRUE(client.isTcp());
    EXPECT_FALSE(client.isServer());
    EXPECT_EQ(client.peerText(), "10.0.0.5");
    EXPECT_EQ(client.remotePort(), 5000);
    EXPECT_EQ(client.net->connectPending.load(), 1);
    EXPECT_EQ(client.control->enabled.load(), 1) << "the control protocol runs for TCP clients";

    const TARNINFO& udp = lists.at(2);
    EXPECT_FALSE(udp.isTcp());
    EXPECT_EQ(udp.localPort(), 4001);
    EXPECT_EQ(udp.remotePort(), 4002);
    EXPECT_EQ(udp.peerText(), "10.0.0.6");
    EXPECT_NE(udp.net->dataSock.load(), 0);
    EXPECT_NE(udp.net->listenSock.load(), 0);
    EXPECT_EQ(udp.control->enabled.load(), 0);

    // Saving what was loaded gives the same bytes back: the UDP ports survive the round trip.
    ASSERT_TRUE(saveMappingFile(lists));
    EXPECT_EQ(readBytes(mappingFile()), join({m_server, m_client, m_udp}));
}

// The RFC 2217 mark sits after the address's NUL: unmarked records (every older file) and a
// marked one come back byte for byte, through the set-up that rewrites each mapping's fields.
TEST_F(MappingFileTest, Rfc2217MarkRoundTripsBesideUnmarkedRecords) {
    tarnDesc marked = testsupport::makeDesc(6, kModeTcpClient, "10.0.0.8", 0, 6001);
    ASSERT_TRUE(setRfc2217(marked, true));
    const DescRecord markedBytes = encodeDesc(marked);
    const Bytes file = join({m_server, m_client, Bytes(markedBytes.begin(), markedBytes.end()), m_udp});
    writeBytes(mappingFile(), file);
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 4u);
    EXPECT_FALSE(lists.at(1).isRfc2217());
    EXPECT_TRUE(lists.at(2).isRfc2217());
    ASSERT_TRUE(saveMappingFile(lists));
    EXPECT_EQ(readBytes(mappingFile()), file);
}

TEST_F(MappingFileTest, FieldsAMappingDoesNotUseAreStoredAsZero) {
    writeBytes(mappingFile(), join({record(6, kModeTcpServer, "10.1.2.3", 4100, 99),
                                    record(7, kModeTcpClient, "10.0.0.5", 77, 5000)}));
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 2u);
    ASSERT_TRUE(saveMappingFile(lists));
    EXPECT_EQ(readBytes(mappingFile()),
              join({record(6, kModeTcpServer, "0.0.0.0", 4100, 0), record(7, kModeTcpClient, "10.0.0.5", 0, 5000)}));
}

TEST_F(MappingFileTest, AddingToTwoRewritesThreeRecordsWithTheNewOneLast) {
    writeBytes(mappingFile(), join({m_server, m_client}));
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 2u);

    TARNINFO* added = lists.addMapping(5);
    ASSERT_NE(added, nullptr);
    ASSERT_TRUE(setUpMapping(lists, static_cast<std::size_t>(added->index), decodeDesc(m_udp.data())));
    ASSERT_TRUE(saveMappingFile(lists));
    const Bytes file = readBytes(mappingFile());
    ASSERT_EQ(file.size(), 336u);
    EXPECT_EQ(file, join({m_server, m_client, m_udp}));
}

TEST_F(MappingFileTest, RemovingTheFirstOfThreeMovesTheOthersUp) {
    writeBytes(mappingFile(), join({m_server, m_client, m_udp}));
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 3u);
    lists.removeAt(0);
    ASSERT_TRUE(saveMappingFile(lists));
    const Bytes file = readBytes(mappingFile());
    ASSERT_EQ(file.size(), 224u);
    EXPECT_EQ(slice(file, 0), m_client);
    EXPECT_EQ(slice(file, 1), m_udp);
}

// Someone holds the port's name at start: the mapping cannot run now, but the user's record
// must survive the next save instead of silently disappearing.
TEST_F(MappingFileTest, RecordWhosePortCannotBeMadeIsKeptAndLogged) {
    std::filesystem::create_directories(portDir());
    std::ofstream(linkOf(4)) << "not a port of ours";
    const Bytes original = join({m_server, m_client, m_udp});
    writeBytes(mappingFile(), original);
    std::vector<std::string> logged;
    setMappingMessageSink([&](const std::string& text) { logged.push_back(text); });

    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    setMappingMessageSink(nullptr);
    EXPECT_EQ(logged, std::vector<std::string>{"COM4 cannot be created."});
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists.at(0).comNumber, 3);
    EXPECT_EQ(lists.at(1).comNumber, 5);
    EXPECT_EQ(lists.at(1).index, 1);
    EXPECT_EQ(lists.comNumbers, (std::deque<std::int32_t>{3, 5}));
    EXPECT_EQ(lists.threadSets.size(), 2u);
    EXPECT_EQ(lists.findByCom(4), -1) << "it takes no COM number while it cannot run";
    EXPECT_EQ(readBytes(mappingFile()), original) << "load leaves the file alone";

    ASSERT_NE(assembleMapping(lists, decodeDesc(record(8, kModeTcpClient, "10.0.0.7", 0, 6000).data())), nullptr);
    ASSERT_TRUE(saveMappingFile(lists));
    EXPECT_EQ(readBytes(mappingFile()),
              join({m_server, m_udp, record(8, kModeTcpClient, "10.0.0.7", 0, 6000), m_client}));

    // Once the name is free again, the next start runs it.
    std::filesystem::remove(linkOf(4));
    MappingLists later{&makeMappingThreads};
    loadMappingFile(later);
    EXPECT_EQ(later.comNumbers, (std::deque<std::int32_t>{3, 5, 8, 4}));
    EXPECT_TRUE(later.preservedRecords.empty());
}

TEST_F(MappingFileTest, PartialTailRecordIsIgnored) {
    Bytes file = join({m_server, m_client});
    const Bytes torn(m_udp.begin(), m_udp.begin() + 50);
    file.insert(file.end(), torn.begin(), torn.end());
    writeBytes(mappingFile(), file);

    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_FALSE(linkExists(5));
    EXPECT_TRUE(lists.preservedRecords.empty());
    ASSERT_TRUE(saveMappingFile(lists));
    EXPECT_EQ(readBytes(mappingFile()), join({m_server, m_client}));

    // A file shorter than one record holds no mapping at all.
    writeBytes(mappingFile(), Bytes(m_client.begin(), m_client.begin() + 111));
    MappingLists shortLists{&makeMappingThreads};
    loadMappingFile(shortLists);
    EXPECT_TRUE(shortLists.empty());
}

TEST_F(MappingFileTest, RecordOfUnknownModeIsKeptVerbatimAndNeverRun) {
    Bytes unknown = record(9, 7, "fe80::1", 1234, 5678);
    unknown[70] = 0xA5; // bytes after the address's terminator survive too
    writeBytes(mappingFile(), join({m_server, unknown, m_client}));

    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists.at(0).comNumber, 3);
    EXPECT_EQ(lists.at(1).comNumber, 4);
    EXPECT_EQ(lists.at(1).index, 1);
    EXPECT_FALSE(linkExists(9)) << "no port for a record that cannot run";
    EXPECT_EQ(lists.findByCom(9), -1);
    ASSERT_EQ(lists.preservedRecords.size(), 1u);

    ASSERT_TRUE(saveMappingFile(lists));
    const Bytes saved = readBytes(mappingFile());
    EXPECT_EQ(saved, join({m_server, m_client, unknown}));

    // A later run keeps carrying it.
    MappingLists again{&makeMappingThreads};
    loadMappingFile(again);
    EXPECT_EQ(again.size(), 2u);
    ASSERT_EQ(again.preservedRecords.size(), 1u);
    EXPECT_EQ(Bytes(again.preservedRecords[0].begin(), again.preservedRecords[0].end()), unknown);
}

TEST_F(MappingFileTest, SecondRecordForAMappedComNumberIsKeptButNotRun) {
    const Bytes twin = record(3, kModeTcpClient, "10.0.0.9", 0, 7000);
    writeBytes(mappingFile(), join({m_server, twin, m_client}));
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists.comNumbers, (std::deque<std::int32_t>{3, 4}));
    EXPECT_EQ(lists.findByIp("10.0.0.9"), -1);
    ASSERT_TRUE(saveMappingFile(lists));
    EXPECT_EQ(readBytes(mappingFile()), join({m_server, m_client, twin}));
}

// Something that is not a readable file in the file's place (here a FIFO, which a blocking
// open would wait on forever) gives no mappings, and is not replaced by a save.
TEST_F(MappingFileTest, UnreadableFileIsNeitherLoadedNorOverwritten) {
    std::filesystem::create_directories(m_config + "/tarn");
    ASSERT_EQ(::mkfifo(mappingFile().c_str(), 0600), 0);
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    EXPECT_TRUE(lists.empty());
    EXPECT_TRUE(lists.fileUnreadable);
    ASSERT_NE(lists.addMapping(4), nullptr);
    EXPECT_FALSE(saveMappingFile(lists));
    EXPECT_TRUE(std::filesystem::is_fifo(mappingFile()));
}

TEST_F(MappingFileTest, LoadRunsOncePerLists) {
    writeBytes(mappingFile(), m_server);
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 1u);
    writeBytes(mappingFile(), join({m_client, m_udp}));
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists.at(0).comNumber, 3);
}

TEST_F(MappingFileTest, FirstSaveCreatesTheFolder) {
    ASSERT_FALSE(std::filesystem::exists(m_config));
    MappingLists lists{&makeMappingThreads};
    ASSERT_TRUE(saveMappingFile(lists));
    ASSERT_TRUE(std::filesystem::exists(mappingFile()));
    EXPECT_EQ(std::filesystem::file_size(mappingFile()), 0u) << "an empty list leaves an empty file";
}

TEST_F(MappingFileTest, SaveReplacesTheFileWholeAndLeavesNoTemporaryFile) {
    const Bytes old = join({m_server, m_client, m_udp});
    writeBytes(mappingFile(), old);
    // A reader that had the old file open keeps seeing all of it: the new content is a new
    // file renamed into place, never the old one truncated and rewritten.
    const int reader = ::open(mappingFile().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    writeBytes(mappingFile() + ".unrelated", {1});
    MappingLists lists{&makeMappingThreads};
    lists.fileLoaded = true;
    TARNINFO* added = lists.addMapping(4);
    ASSERT_NE(added, nullptr);
    ASSERT_TRUE(setUpMapping(lists, 0, decodeDesc(m_client.data())));
    ASSERT_TRUE(saveMappingFile(lists));

    Bytes seen(old.size() + 1);
    EXPECT_EQ(::pread(reader, seen.data(), seen.size(), 0), static_cast<ssize_t>(old.size()));
    seen.resize(old.size());
    EXPECT_EQ(seen, old);
    ::close(reader);
    EXPECT_EQ(readBytes(mappingFile()), m_client);
    auto names = folderEntries();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"79828669767684658278", "79828669767684658278.unrelated"}));
}

// A save that cannot be completed (here: the file-size limit stops the write half way, as a
// full disk would) leaves the previous file complete and no temporary file behind.
TEST_F(MappingFileTest, InterruptedSaveKeepsThePreviousFile) {
    const Bytes old = join({m_server, m_client});
    writeBytes(mappingFile(), old);
    MappingLists lists{&makeMappingThreads};
    loadMappingFile(lists);
    ASSERT_EQ(lists.size(), 2u);
    TARNINFO* added = lists.addMapping(5);
    ASSERT_NE(added, nullptr);
    ASSERT_TRUE(setUpMapping(lists, 2, decodeDesc(m_udp.data())));

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 200;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool result = saveMappingFile(lists);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(result);
    EXPECT_EQ(readBytes(mappingFile()), old);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"79828669767684658278"});
    // Once the disk has room again the save goes through.
    ASSERT_TRUE(saveMappingFile(lists));
    EXPECT_EQ(readBytes(mappingFile()).size(), 336u);
}

TEST_F(MappingFileTest, SaveThatCannotMakeItsFolderWritesNothing) {
    writeBytes(m_root + "/plain-file", {1, 2, 3});
    MappingLists lists{&makeMappingThreads};
    EXPECT_FALSE(saveMappingFile(lists, m_root + "/plain-file/tarn/79828669767684658278"));
    EXPECT_EQ(readBytes(m_root + "/plain-file"), (Bytes{1, 2, 3}));
}

} // namespace

// tarn-devsim's device-management endpoint, driven over loopback inside a private network
// namespace: search answers byte for byte, login, EEPROM access and its backing file, and
// hostile requests.

#include <gtest/gtest.h>

#include <random>

#include "integration/devsim_harness.h"
#include "support/netns.h"

using namespace devsimtest;

namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes text0(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

// A search answer record: header, ID, MAC, addresses, names, options.
Bytes searchRecord(const std::string& idMacIpMaskGw, const std::string& name, const std::string& project,
                   const Bytes& options) {
    const Bytes body = concat({hex(idMacIpMaskGw), text0(name), text0(project), options});
    const std::size_t length = 10 + body.size();
    return concat({{0x01, 0x00, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)},
                   hex("00 00 00 00 00 02"),
                   body});
}

struct SearchCase {
    const char* label;
    std::string spec;
    Bytes expected;
};

class DevsimSearchAnswer : public ::testing::TestWithParam<SearchCase> {};

TEST_P(DevsimSearchAnswer, IsByteExactAndComesFromTheDeviceAddress) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const SearchCase& c = GetParam();
    Devsim sim({"--device", c.spec});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.send("127.0.0.5", 8000, request::search()));
    const auto answer = host.receive();
    ASSERT_TRUE(answer) << sim.transcript();
    EXPECT_EQ(hexText(answer->bytes), hexText(c.expected));
    EXPECT_EQ(addressText(answer->from), "127.0.0.5:8000");
    EXPECT_TRUE(sim.waitLine("search from 127.0.0.1:" + std::to_string(host.port())));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DevsimSearchAnswer,
    ::testing::Values(
        SearchCase{"TcpServer",
                   "ip=127.0.0.5,mac=02:00:00:00:01:10,id=0x0102,name=alpha,project=proj-one,mode=tcp-server,"
                   "data-port=4001,control-port=4002,mask=255.0.0.0,gateway=127.0.0.1",
                   searchRecord("01 02 02 00 00 00 01 10 7f 00 00 05 ff 00 00 00 7f 00 00 01", "alpha", "proj-one",
                                // 4 options: port 4001, UDP table without peers, mode 1, control port 4002
                                hex("04 01 02 0f a1 03 04 0f a1 00 00 04 01 01 05 02 0f a2"))},
        SearchCase{"TcpClientWithoutControlPort",
                   "ip=127.0.0.5,mac=0a:0b:0c:0d:0e:0f,id=7,name=beta,project=p,mode=tcp-client,"
                   "remote=127.0.0.1:5000,control-port=0,mask=255.255.255.0",
                   searchRecord("00 07 0a 0b 0c 0d 0e 0f 7f 00 00 05 ff ff ff 00 00 00 00 00", "beta", "p",
                                // 3 options: the port it connects to, UDP table with its peer, mode 2
                                hex("03 01 02 13 88 03 0a 0f a1 00 01 7f 00 00 01 13 88 04 01 02"))},
        SearchCase{"Udp",
                   "ip=127.0.0.5,mac=02:00:00:00:00:01,id=65535,name=gamma,project=,mode=udp,data-port=4100,"
                   "mask=255.0.0.0",
                   searchRecord("ff ff 02 00 00 00 00 01 7f 00 00 05 ff 00 00 00 00 00 00 00", "gamma", "",
                                hex("04 01 02 10 04 03 04 10 04 00 00 04 01 03 05 02 0f a2"))},
        SearchCase{"LongestNames",
                   "ip=127.0.0.5,mac=02:00:00:00:00:02,id=1,name=nineteen-characters,"
                   "project=a-project-name-of-exactly-forty-nine-characters-x,mask=255.0.0.0",
                   searchRecord("00 01 02 00 00 00 00 02 7f 00 00 05 ff 00 00 00 00 00 00 00", "nineteen-characters",
                                "a-project-name-of-exactly-forty-nine-characters-x",
                                hex("04 01 02 0f a1 03 04 0f a1 00 00 04 01 01 05 02 0f a2"))}),
    [](const ::testing::TestParamInfo<SearchCase>& info) { return std::string(info.param.label); });

TEST(DevsimSearch, AnswerTwiceSendsTwoIdenticalAnswers) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--answer-twice", "--device", "ip=127.0.0.6,name=twice"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    ASSERT_TRUE(host.send("127.0.0.6", 8000, request::search()));
    const auto first = host.receive();
    const auto second = host.receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->bytes, second->bytes);
    EXPECT_EQ(first->bytes[9], 0x02);
}

TEST(DevsimSearch, ConfigFileDescribesSeveralDevices) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const TempDir dir("devsim");
    const std::string config = dir.file("devices.conf");
    std::ofstream(config) << "# two devices\nip=127.0.1.1,name=first\n\nip=127.0.1.2,name=second,id=2\n";
    Devsim sim({"--config", config});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    for (const auto& [ip, name] :
         std::vector<std::pair<std::string, std::string>>{{"127.0.1.1", "first"}, {"127.0.1.2", "second"}}) {
        const auto answer = host.request(ip, request::search());
        ASSERT_TRUE(answer) << ip;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&(*answer)[30])), name);
    }
    // With several devices each event line names its device.
    EXPECT_TRUE(sim.waitLine("search from 127.0.0.1:" + std::to_string(host.port()) + " [127.0.1.2]"));
}

TEST(DevsimSearch, SilentDeviceAnswersNothingUntilToldOtherwise) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--silent", "--device", "ip=127.0.0.7"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    ASSERT_TRUE(host.send("127.0.0.7", 8000, request::search()));
    ASSERT_TRUE(host.send("127.0.0.7", 8000, request::loginStart({1, 2, 3, 4})));
    EXPECT_EQ(sim.ask("status"), "ok status 127.0.0.7 data=down control=down silent=on");
    EXPECT_EQ(sim.ask("silent off"), "ok silent off");
    // Loopback keeps order: had the silent device answered the first two requests, their
    // answers would already wait before the answer to this one.
    ASSERT_TRUE(host.send("127.0.0.7", 8000, request::search()));
    const auto answer = host.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes[9], 0x02);
    EXPECT_EQ(host.drain(), 0u);
}

TEST(DevsimLogin, AcceptsTheConfiguredCredentialsAndRefusesOthers) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.8,account=operator,password=s3cret"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    const Bytes nonce{0xA1, 0xB2, 0xC3, 0xD4};

    const auto started = host.request("127.0.0.8", request::loginStart(nonce));
    ASSERT_TRUE(started);
    EXPECT_EQ(hexText(*started), "01 00 00 0f 00 00 00 00 00 06 a1 b2 c3 d4 00");

    const auto refused = host.request("127.0.0.8", request::credentials(nonce, "operator", "wrong"));
    ASSERT_TRUE(refused);
    EXPECT_EQ(hexText(*refused), "01 00 00 0f 00 00 00 00 00 08 a1 b2 c3 d4 01");
    EXPECT_TRUE(sim.waitLine("login refused operator"));

    // A refused attempt used up its login start.
    const auto noStart = host.request("127.0.0.8", request::credentials(nonce, "operator", "s3cret"));
    ASSERT_TRUE(noStart);
    EXPECT_EQ((*noStart)[14], 2);

    ASSERT_TRUE(host.request("127.0.0.8", request::loginStart(nonce)));
    const auto wrongAccount = host.request("127.0.0.8", request::credentials(nonce, "admin", "s3cret"));
    ASSERT_TRUE(wrongAccount);
    EXPECT_EQ((*wrongAccount)[14], 1);

    const Bytes session = login(host, "127.0.0.8", "operator", "s3cret");
    ASSERT_EQ(session.size(), 4u);
    EXPECT_NE(hexText(session), "00 00 00 00");
    EXPECT_TRUE(sim.waitLine("login ok operator"));
}

TEST(DevsimLogin, RefuseLoginAnswersTheLoginStartWithARefusal) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.9,refuse-login=1"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    const auto started = host.request("127.0.0.9", request::loginStart({9, 9, 9, 9}));
    ASSERT_TRUE(started);
    EXPECT_EQ((*started)[9], 0x06);
    EXPECT_NE((*started)[14], 0);
}

TEST(DevsimEeprom, NeedsALoginSession) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.10"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    // A refused read echoes the address with a count of 0 and carries no data.
    const auto read = host.request("127.0.0.10", request::eepromRead({0, 0, 0, 0}, 0, 1024));
    ASSERT_TRUE(read);
    EXPECT_EQ(hexText(*read), "01 00 00 0e 00 00 00 00 01 06 00 00 00 00");
    const auto forged = host.request("127.0.0.10", request::eepromRead({1, 2, 3, 4}, 0, 16));
    ASSERT_TRUE(forged);
    EXPECT_EQ(forged->size(), 14u);
    const auto write = host.request("127.0.0.10", request::eepromWrite({1, 2, 3, 4}, 0, Bytes(16, 0xEE)));
    ASSERT_TRUE(write);
    EXPECT_EQ(hexText(*write), "01 00 00 0e 01 02 03 04 01 08 01 00 00 00");
    const auto done = host.request("127.0.0.10", request::writeComplete({1, 2, 3, 4}));
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)[9], 0x26);
    EXPECT_EQ((*done)[10], 1);
}

TEST(DevsimEeprom, ImageHoldsTheDocumentedFields) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.11,mac=02:11:22:33:44:55,id=0x0A0B,name=field-test,project=layout,"
                            "mode=udp,data-port=4100,remote=127.0.0.1:4200,control-port=4300,baud=115200,"
                            "gateway=127.0.0.1,mask=255.0.0.0,account=acc,password=pw,control-password=cpw"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    const Bytes session = login(host, "127.0.0.11", "acc", "pw");
    ASSERT_FALSE(session.empty());
    const auto answer = host.request("127.0.0.11", request::eepromRead(session, 0, 0x130));
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->size(), 14u + 0x130);
    const Bytes image(answer->begin() + 14, answer->end());
    auto field = [&](std::size_t offset, std::size_t size) {
        return hexText(Bytes(image.begin() + static_cast<std::ptrdiff_t>(offset),
                             image.begin() + static_cast<std::ptrdiff_t>(offset + size)));
    };
    auto text = [&](std::size_t offset) { return std::string(reinterpret_cast<const char*>(&image[offset])); };
    EXPECT_EQ(field(0x000, 2), "00 01");
    EXPECT_EQ(field(0x002, 2), "0a 0b");
    EXPECT_EQ(field(0x004, 6), "02 11 22 33 44 55");
    EXPECT_EQ(field(0x020, 12), "7f 00 00 0b ff 00 00 00 7f 00 00 01");
    EXPECT_EQ(text(0x040), "field-test");
    EXPECT_EQ(text(0x060), "layout");
    EXPECT_EQ(field(0x0A0, 5), "09 03 00 00 00"); // 115200, 8 bits, no parity, 1 stop bit, no flow
    EXPECT_EQ(field(0x0C0, 1), "03");
    EXPECT_EQ(field(0x0C2, 12), "10 04 10 68 7f 00 00 01 10 cc 00 00");
    EXPECT_EQ(text(0x100), "acc");
    EXPECT_EQ(text(0x110), "pw");
    EXPECT_EQ(text(0x120), "cpw");
}

TEST(DevsimEeprom, WholeImageRoundTripsInTwoBlocksAndPersistsOnWriteComplete) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const TempDir dir("devsim");
    const std::string file = dir.file("image.bin");
    Devsim sim({"--eeprom", file, "--device", "ip=127.0.0.12,name=before"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    const Bytes initialFile = readFile(file);
    ASSERT_EQ(initialFile.size(), 2048u) << "the image file is created at start";

    UdpPeer host;
    const Bytes session = login(host, "127.0.0.12", "admin", "admin");
    ASSERT_FALSE(session.empty());
    Bytes original;
    for (std::uint16_t block = 0; block < 2; ++block) {
        const auto answer = host.request("127.0.0.12", request::eepromRead(session, block * 1024, 1024));
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->size(), 14u + 1024);
        EXPECT_EQ(
            hexText(Bytes(answer->begin(), answer->begin() + 14)),
            hexText(concat(
                {hex("01 00 04 0e"), session, {0x01, 0x06, static_cast<std::uint8_t>(block * 4), 0x00, 0x04, 0x00}})));
        original.insert(original.end(), answer->begin() + 14, answer->end());
    }
    EXPECT_EQ(original, initialFile);

    std::mt19937 random(42);
    Bytes image(2048);
    for (auto& b : image)
        b = static_cast<std::uint8_t>(random());
    for (std::uint16_t block = 0; block < 2; ++block) {
        const Bytes part(image.begin() + block * 1024, image.begin() + (block + 1) * 1024);
        const auto answer = host.request("127.0.0.12", request::eepromWrite(session, block * 1024, part));
        ASSERT_TRUE(answer);
        EXPECT_EQ(hexText(*answer), hexText(concat({hex("01 00 00 0e"), session, hex("01 08 00 00 00 00")})));
    }
    EXPECT_EQ(readFile(file), initialFile) << "nothing reaches the file before write-complete";

    Bytes readBack;
    for (std::uint16_t block = 0; block < 2; ++block) {
        const auto answer = host.request("127.0.0.12", request::eepromRead(session, block * 1024, 1024));
        ASSERT_TRUE(answer);
        readBack.insert(readBack.end(), answer->begin() + 14, answer->end());
    }
    EXPECT_EQ(readBack, image);

    const auto done = host.request("127.0.0.12", request::writeComplete(session));
    ASSERT_TRUE(done);
    EXPECT_EQ(hexText(*done), hexText(concat({hex("01 00 00 0e"), session, hex("01 26 00 00 00 00")})));
    EXPECT_TRUE(sim.waitLine("eeprom saved " + file));
    EXPECT_EQ(readFile(file), image);
}

TEST(DevsimEeprom, WrittenAddressAndNamesShowInTheNextSearchAndSurviveARestart) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const TempDir dir("devsim");
    const std::string file = dir.file("image.bin");
    UdpPeer host;
    {
        Devsim sim({"--eeprom", file, "--device", "ip=127.0.0.13,name=old-name,project=old-project"});
        ASSERT_TRUE(sim.waitReady()) << sim.transcript();
        const Bytes session = login(host, "127.0.0.13", "admin", "admin");
        ASSERT_FALSE(session.empty());
        // New address, mask and gateway at 0x20, new names at 0x40 and 0x60.
        ASSERT_TRUE(host.request("127.0.0.13",
                                 request::eepromWrite(session, 0x20, hex("0a 01 02 03 ff ff 00 00 0a 01 00 01"))));
        Bytes names(0x60 - 0x40 + 50, 0);
        const std::string name = "new-name", project = "new-project";
        std::copy(name.begin(), name.end(), names.begin());
        std::copy(project.begin(), project.end(), names.begin() + 0x20);
        const auto written = host.request("127.0.0.13", request::eepromWrite(session, 0x40, names));
        ASSERT_TRUE(written);
        EXPECT_EQ((*written)[10], 0);

        const auto answer = host.request("127.0.0.13", request::search());
        ASSERT_TRUE(answer);
        EXPECT_EQ(hexText(Bytes(answer->begin() + 18, answer->begin() + 30)), "0a 01 02 03 ff ff 00 00 0a 01 00 01");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&(*answer)[30])), "new-name");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&(*answer)[39])), "new-project");
        const auto done = host.request("127.0.0.13", request::writeComplete(session));
        ASSERT_TRUE(done);
        EXPECT_EQ((*done)[10], 0);
    }
    // Restarted on the same file without names: the stored ones stay; the address it serves
    // is the one it is given.
    Devsim sim({"--eeprom", file, "--device", "ip=127.0.0.13"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    const auto answer = host.request("127.0.0.13", request::search());
    ASSERT_TRUE(answer);
    EXPECT_EQ(hexText(Bytes(answer->begin() + 18, answer->begin() + 30)), "7f 00 00 0d ff ff 00 00 0a 01 00 01");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&(*answer)[30])), "new-name");
}

struct RefusedWrite {
    const char* label;
    std::uint16_t address;
    std::size_t count;
    std::size_t cut; // bytes cut off the end of the datagram
    std::uint8_t result;
};

class DevsimRefusedWrite : public ::testing::TestWithParam<RefusedWrite> {};

TEST_P(DevsimRefusedWrite, LeavesTheImageAlone) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const RefusedWrite& c = GetParam();
    Devsim sim({"--device", "ip=127.0.0.14"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    const Bytes session = login(host, "127.0.0.14", "admin", "admin");
    ASSERT_FALSE(session.empty());
    const auto before = host.request("127.0.0.14", request::eepromRead(session, 0, 2048));
    ASSERT_TRUE(before);

    Bytes write = request::eepromWrite(session, c.address, Bytes(c.count, 0x5A));
    write.resize(write.size() - c.cut);
    const auto answer = host.request("127.0.0.14", write);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)[9], 0x08);
    EXPECT_EQ((*answer)[10], c.result);

    const auto after = host.request("127.0.0.14", request::eepromRead(session, 0, 2048));
    ASSERT_TRUE(after);
    EXPECT_EQ(*before, *after);
}

INSTANTIATE_TEST_SUITE_P(Cases, DevsimRefusedWrite,
                         ::testing::Values(RefusedWrite{"PastTheEnd", 2000, 100, 0, 2},
                                           RefusedWrite{"AddressOutside", 4096, 1, 0, 2},
                                           RefusedWrite{"DatagramShorterThanItsLength", 0, 64, 10, 3},
                                           RefusedWrite{"CountBeyondRecord", 0, 1024, 1024, 3}),
                         [](const ::testing::TestParamInfo<RefusedWrite>& info) {
                             return std::string(info.param.label);
                         });

TEST(DevsimEeprom, ReadOutsideTheImageIsRefused) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.15"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    const Bytes session = login(host, "127.0.0.15", "admin", "admin");
    ASSERT_FALSE(session.empty());
    for (const auto& [address, count] :
         std::vector<std::pair<std::uint16_t, std::uint16_t>>{{2047, 2}, {0, 0}, {0, 4096}}) {
        const auto answer = host.request("127.0.0.15", request::eepromRead(session, address, count));
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->size(), 14u);
        EXPECT_EQ((*answer)[12], 0);
        EXPECT_EQ((*answer)[13], 0);
    }
}

TEST(DevsimEeprom, RefusesAnImageFileOfTheWrongSize) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const TempDir dir("devsim");
    const std::string file = dir.file("short.bin");
    std::ofstream(file) << "too short";
    Devsim sim({"--eeprom", file, "--device", "ip=127.0.0.16"});
    EXPECT_EQ(sim.waitExit(), 1);
    EXPECT_NE(sim.transcript().find("expected 2048"), std::string::npos) << sim.transcript();
}

TEST(DevsimRobustness, HostileDatagramsNeitherCrashNorSilenceTheDevice) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--quiet", "--device", "ip=127.0.0.17"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    const Bytes session = login(host, "127.0.0.17", "admin", "admin");
    ASSERT_FALSE(session.empty());
    std::vector<Bytes> hostile = {
        {},
        {0x01},
        hex("01 00 00 00 00 00 00 00 00 05"),             // too short for a login start
        hex("01 00 00 00 00 00 00 00 00 05 00 00 00 00"), // length field 0
        hex("01 00 ff ff 00 00 00 00 01 05 00 00 04 00"), // length beyond the datagram
        request::header(16, {}, 0, 0x07),                 // credentials of lengths 0/0 without start
        concat({request::header(16, {}, 0, 0x07), Bytes{}}),
        Bytes(9000, 0x01), // oversized
    };
    Bytes credentials = request::credentials({1, 1, 1, 1}, "admin", "admin");
    credentials[14] = 200; // account length beyond the record
    hostile.push_back(credentials);
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        Bytes junk(random() % 64);
        for (auto& b : junk)
            b = static_cast<std::uint8_t>(random());
        if (!junk.empty() && random() % 2)
            junk[0] = 0x01;
        if (junk.size() > 9 && random() % 2)
            junk[8] = static_cast<std::uint8_t>(random() % 2);
        hostile.push_back(junk);
    }
    // In batches, each closed by a search: its answer shows the device took everything before
    // it (loopback keeps order), and no batch can overflow the device's receive buffer.
    auto searchAnswered = [&] {
        host.send("127.0.0.17", 8000, request::search());
        while (auto d = host.receive())
            if (d->bytes.size() > 9 && d->bytes[8] == 0x00 && d->bytes[9] == 0x02 && d->bytes.size() > 30)
                return true;
        return false;
    };
    for (std::size_t i = 0; i < hostile.size(); ++i) {
        host.send("127.0.0.17", 8000, hostile[i]);
        if (i % 40 == 39) {
            ASSERT_TRUE(searchAnswered()) << "after datagram " << i;
        }
    }
    EXPECT_TRUE(searchAnswered());
    EXPECT_EQ(sim.stop(), 0) << sim.transcript();
}

} // namespace

// tarnctl: the device search and the EEPROM image transfer from the command line, over the
// same core as the window, for scripts and machines without a display.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bridge/portable_sock.h"
#include "device/device_list.h"
#include "device/eeprom_access.h"
#include "device/net_cmd.h"
#include "device/raw_discovery.h"
#include "device/search_job.h"
#include "platform/pcap_capture.h"

namespace {

// Exit statuses, also listed in the help text.
enum Exit : int {
    kOk = 0,
    kBadUsage = 2,
    kNoDevice = 3,
    kLoginFailed = 4,
    kEepromFailed = 5,
    kFileFailed = 6,
};

// Retries per image block, as the window uses them.
constexpr int kImageRetries = 1;

const char* const kUsageText = R"(usage: tarnctl [--trace] search
       tarnctl [--trace] eeprom-read IP FILE [--account A] [--password P]
       tarnctl [--trace] eeprom-write IP FILE [--account A] [--password P]
       tarnctl --help

Finds the device servers on every local subnet (NetCmd broadcast on UDP port 8000, then the
raw Ethernet discovery when nothing answered) and reads or writes a device's whole 2048-byte
configuration EEPROM image.

  search          list the devices found: No, Device ID, Device Name, Project Name,
                  MAC Address, IP Address, Sub Mask, Gateway
  eeprom-read     search, log in to the device at IP, read its image into FILE
  eeprom-write    search, log in to the device at IP, write FILE (exactly 2048 bytes) to it,
                  then tell it the write is complete
  --account A     login account (default: empty)
  --password P    login password (default: empty)
  --trace         print the protocol's trace lines on standard output

Searching broadcasts on every subnet of the current network namespace.
The raw discovery needs the right to capture packets (root or CAP_NET_RAW).

Exit status: 0 done; 2 bad usage; 3 no device with that IP answered; 4 login refused or
unanswered; 5 EEPROM transfer failed; 6 the file could not be read or written.
)";

struct Arguments {
    std::string command;
    std::vector<std::string> positional;
    std::string account;
    std::string password;
    bool trace = false;
    bool help = false;
};

bool parseArguments(int argc, char** argv, Arguments& out, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            out.help = true;
        } else if (arg == "--trace") {
            out.trace = true;
        } else if (arg == "--account" || arg == "--password") {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            (arg == "--account" ? out.account : out.password) = argv[++i];
        } else if (arg.rfind("--account=", 0) == 0) {
            out.account = arg.substr(10);
        } else if (arg.rfind("--password=", 0) == 0) {
            out.password = arg.substr(11);
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (out.command.empty()) {
            out.command = arg;
        } else {
            out.positional.push_back(arg);
        }
    }
    return true;
}

// The device list the command works on, with the raw discovery as fallback.
class Session {
public:
    explicit Session(bool trace)
        : m_netCmd(0, 3000, 2000), m_raw(pcapBackend(), trace ? printTrace : TraceSink{}),
          m_access(m_netCmd, m_devices) {
        if (trace)
            m_netCmd.setTraceSink(printTrace);
    }

    std::size_t search() {
        // Capture adapters are opened only when the fallback is needed.
        const std::size_t count = runSearchJob(m_netCmd, m_devices, [this] {
            m_raw.openCaptureAdapters();
            NodeList found = m_raw.rawDiscover();
            m_raw.closeCaptureAdapters();
            return found;
        });
        if (m_netCmd.traceSink())
            std::fputc('\n', stdout);
        return count;
    }

    DeviceList& devices() { return m_devices; }
    DeviceAccess& access() { return m_access; }

private:
    static void printTrace(std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    NetCmd m_netCmd;
    RawDiscovery m_raw;
    DeviceList m_devices;
    DeviceAccess m_access;
};

void printDeviceTable(const DeviceList& devices) {
    std::vector<std::array<std::string, 8>> rows;
    std::array<std::string, 8> head;
    for (std::size_t c = 0; c < head.size(); ++c)
        head[c] = kDeviceColumns[c];
    rows.push_back(head);
    const DeviceList::Entries entries = devices.snapshot();
    for (std::size_t i = 0; i < entries.size(); ++i)
        rows.push_back(deviceRowTexts(i, *entries[i]->node));
    std::array<std::size_t, 8> widths{};
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line.append(widths[c] - row[c].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

int runSearch(Session& session) {
    const std::size_t count = session.search();
    printDeviceTable(session.devices());
    std::printf("%zu device(s) searched.\n", count);
    return kOk;
}

// Searches, finds the device and logs in; returns kOk or the failure's exit status.
int searchAndLogin(Session& session, const Arguments& args, const std::string& ip) {
    session.search();
    if (session.devices().findDevice(ip.c_str()) < 0) {
        std::fprintf(stderr, "tarnctl: no device with IP %s answered the search.\n", ip.c_str());
        return kNoDevice;
    }
    if (session.access().login(ip.c_str(), args.account, args.password) != 1) {
        std::fprintf(stderr, "tarnctl: Login failure. (device %s, account \"%s\")\n", ip.c_str(), args.account.c_str());
        return kLoginFailed;
    }
    return kOk;
}

void reportEepromFailure(const std::string& ip) {
    std::fprintf(stderr, "tarnctl: Error: unable to access EEPROM.\nPlease check if EEPROM is valid. (device %s)\n",
                 ip.c_str());
}

int runEepromRead(Session& session, const Arguments& args, const std::string& ip, const std::string& path) {
    if (const int status = searchAndLogin(session, args, ip); status != kOk)
        return status;
    if (session.access().readImage(ip.c_str(), kImageRetries) != 0) {
        reportEepromFailure(ip);
        return kEepromFailed;
    }
    // Written aside and renamed, so a failed write never leaves a partial image under FILE.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        const EepromImage& image = session.access().image();
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "tarnctl: cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
            std::remove(temporary.c_str());
            return kFileFailed;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "tarnctl: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        std::remove(temporary.c_str());
        return kFileFailed;
    }
    std::printf("EEPROM image of %s read into %s (%zu bytes).\n", ip.c_str(), path.c_str(), kEepromImageSize);
    return kOk;
}

int runEepromWrite(Session& session, const Arguments& args, const std::string& ip, const std::string& path) {
    // The file is checked before anything goes on the network.
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "tarnctl: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return kFileFailed;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() != kEepromImageSize) {
        std::fprintf(stderr, "tarnctl: %s holds %zu bytes; an EEPROM image is exactly %zu.\n", path.c_str(),
                     bytes.size(), kEepromImageSize);
        return kFileFailed;
    }
    if (const int status = searchAndLogin(session, args, ip); status != kOk)
        return status;
    EepromImage& image = session.access().image();
    std::memcpy(image.data(), bytes.data(), image.size());
    if (session.access().writeImage(ip.c_str(), kImageRetries) != 0) {
        reportEepromFailure(ip);
        return kEepromFailed;
    }
    if (session.access().writeDone(ip.c_str()) != 1) {
        std::fprintf(stderr, "tarnctl: the device %s did not confirm the completed write.\n", ip.c_str());
        return kEepromFailed;
    }
    std::printf("EEPROM image %s written to %s (%zu bytes), write complete.\n", path.c_str(), ip.c_str(),
                kEepromImageSize);
    return kOk;
}

} // namespace

int main(int argc, char** argv) {
    Arguments args;
    std::string error;
    if (!parseArguments(argc, argv, args, error)) {
        std::fprintf(stderr, "tarnctl: %s\n\n%s", error.c_str(), kUsageText);
        return kBadUsage;
    }
    if (args.help) {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    const bool isSearch = args.command == "search";
    const bool isEeprom = args.command == "eeprom-read" || args.command == "eeprom-write";
    if (!isSearch && !isEeprom) {
        std::fprintf(stderr, "tarnctl: %s\n\n%s",
                     args.command.empty() ? "no command given" : ("unknown command " + args.command).c_str(),
                     kUsageText);
        return kBadUsage;
    }
    if (isSearch ? !args.positional.empty() : args.positional.size() != 2) {
        std::fprintf(stderr, "tarnctl: wrong arguments for %s\n\n%s", args.command.c_str(), kUsageText);
        return kBadUsage;
    }
    if (isEeprom && !parseDottedIp(args.positional[0].c_str())) {
        std::fprintf(stderr, "tarnctl: '%s' is not an IPv4 address\n", args.positional[0].c_str());
        return kBadUsage;
    }

    std::signal(SIGPIPE, SIG_IGN);
    startSocketLayer();
    int status = kOk;
    {
        Session session(args.trace);
        if (isSearch)
            status = runSearch(session);
        else if (args.command == "eeprom-read")
            status = runEepromRead(session, args, args.positional[0], args.positional[1]);
        else
            status = runEepromWrite(session, args, args.positional[0], args.positional[1]);
    }
    std::fflush(stdout);
    stopSocketLayer();
    return status;
}

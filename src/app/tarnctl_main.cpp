// tarnctl: the device search, the EEPROM image transfer and the mappings from the command
// line, over the same core as the window, for scripts and machines without a display.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <strings.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "bridge/portable_sock.h"
#include "config/text_form.h"
#include "core/command_client.h"
#include "core/command_protocol.h"
#include "core/device_service.h"
#include "core/monitor_text.h"
#include "core/offline_mappings.h"
#include "model/monitor_file.h"
#include "platform/capabilities.h"

namespace {

// Exit statuses, also listed in the help text.
enum Exit : int {
    kOk = 0,
    kBadUsage = 2,
    kNoDevice = 3,
    kLoginFailed = 4,
    kEepromFailed = 5,
    kFileFailed = 6,
    kRefused = 7,
    kNoProgram = 8,
    kProgramError = 9,
};

const char* const kUsageText = R"(usage: tarnctl [--trace] search
       tarnctl [--trace] eeprom-read IP FILE [--account A] [PASSWORD]
       tarnctl [--trace] eeprom-write IP FILE [--account A] [PASSWORD]
       tarnctl [--trace] config show IP [--account A] [PASSWORD]
       tarnctl [--trace] config set IP NAME=VALUE... [--account A] [PASSWORD]
       tarnctl list [--stats]
       tarnctl add MODE COM [IP] [--local PORT] [--remote PORT]
       tarnctl remove COM
       tarnctl log [--follow]
       tarnctl devices [--search]
       tarnctl monitor COM [--hex|--ascii|--both] [--raw FILE]
       tarnctl monitor --read FILE [--hex|--ascii|--both]
       tarnctl --help
       tarnctl --version

Finds the device servers on every local subnet (NetCmd broadcast on UDP port 8000, then the
raw Ethernet discovery when nothing answered) and reads or writes a device's whole 2048-byte
configuration EEPROM image.

  search          list the devices found: No, Device ID, Device Name, Project Name,
                  MAC Address, IP Address, Sub Mask, Gateway
  eeprom-read     search, log in to the device at IP, read its image into FILE
  eeprom-write    search, log in to the device at IP, write FILE (exactly 2048 bytes) to it,
                  then tell it the write is complete
  config show     search, log in, read the image and print each field of the configuration
                  dialog's description (eeprom_GUI.xml) as "NAME: VALUE", in its order
  config set      the same, then change each named field as the dialog would, check every
                  value and write the image back (nothing is written when any value is
                  refused); the names are those config show prints: a field's caption,
                  "<caption>/<label>" for each box of a delimiter triple; values are text,
                  a choice's caption or its position from 0, on/off (or 1/0) for a box
  --account A     login account (default: empty)
  PASSWORD        the login password (default: empty), one of:
  --password P    as given; other users can read it in the process list
  --password -    the first line of standard input
  --password-file FILE
                  the first line of FILE
                  With --account and none of these, tarnctl asks for it on the terminal,
                  without echo.
  --trace         print the protocol's trace lines on standard output

Searching broadcasts on every subnet of the current network namespace.
The raw discovery needs the right to capture packets (root or CAP_NET_RAW, which
"sudo setcap cap_net_raw+ep" on tarnctl grants); without it the search says so and goes on.

The mapping commands go to the running tarn or tarnd of this user (its control socket
<port dir>/tarn.sock) and take effect at once. With none running, list, add and remove read
and rewrite the mapping file itself, with the same checks; the next tarn or tarnd runs it.

  list            the mappings: the mapping page's columns and each device's input lines
                  (with none running: the stored mappings); --stats adds each mapping's
                  bytes both ways at the port and on the network, and the rates of the
                  last second
  add             a new mapping, checked as the add dialog checks it:
                    MODE   tcp-server (the PC listens on --local PORT; no IP needed),
                           tcp-client (the PC connects to IP --remote PORT),
                           rfc2217 (a tcp-client that also sends the port's settings
                           and modem lines in band, as RFC 2217 Telnet COM Port Control),
                           udp (IP; --local PORT here, --remote PORT there)
                    COM    COM<n> or <n>, or auto for the number the add dialog proposes
  remove          the mapping of COM<n> (or <n>); refused while an application holds it open
  log             both message logs of the running program, one row a line: time, text;
                  --follow keeps printing new rows until the program ends
  devices         the device list of the running program's last search;
                  --search runs a new search first and waits for its end
  monitor         what goes over COM<n> from now on, one line a record until Ctrl-C: time,
                  direction (app→dev, dev→app), side (port: what the application wrote and
                  was given; net: what went to and came from the device), length, the bytes
                  in hex and as text (--hex or --ascii for one of them), and the port's
                  events in words; --raw FILE also writes the records to FILE, which
                  --read FILE shows again later

Exit status: 0 done; 2 bad usage (also an unknown field name or choice); 3 no device with
that IP answered; 4 login refused or unanswered; 5 EEPROM transfer failed; 6 the file (or
the dialog description) could not be read or written; 7 the change was refused (the reason
on standard error; for config set every refused field is named); 8 no tarn or tarnd could
be reached (one is needed for log and devices); 9 the running program could not carry out
the request.
)";

struct Arguments {
    std::string command;
    std::vector<std::string> positional;
    std::string account;
    std::string password;
    std::string passwordFile;
    bool hasPassword = false;
    std::string localPort;
    std::string remotePort;
    bool hasLocalPort = false;
    bool hasRemotePort = false;
    bool follow = false;
    bool search = false;
    bool stats = false;
    std::optional<core::MonitorShow> show;
    std::string rawFile;
    std::string readFile;
    bool trace = false;
    bool help = false;
    bool version = false;
};

Result<Arguments, std::string> parseArguments(int argc, char** argv) {
    Arguments out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            out.help = true;
        } else if (arg == "--version") {
            out.version = true;
        } else if (arg == "--trace") {
            out.trace = true;
        } else if (arg == "--account" || arg == "--password" || arg == "--password-file") {
            if (i + 1 >= argc)
                return failure(arg + " needs a value");
            (arg == "--account" ? out.account : arg == "--password" ? out.password : out.passwordFile) = argv[++i];
            out.hasPassword = out.hasPassword || arg == "--password";
        } else if (arg == "--local" || arg == "--remote") {
            if (i + 1 >= argc)
                return failure(arg + " needs a value");
            (arg == "--local" ? out.localPort : out.remotePort) = argv[++i];
            (arg == "--local" ? out.hasLocalPort : out.hasRemotePort) = true;
        } else if (arg.rfind("--local=", 0) == 0) {
            out.localPort = arg.substr(8);
            out.hasLocalPort = true;
        } else if (arg.rfind("--remote=", 0) == 0) {
            out.remotePort = arg.substr(9);
            out.hasRemotePort = true;
        } else if (arg == "--follow") {
            out.follow = true;
        } else if (arg == "--search") {
            out.search = true;
        } else if (arg == "--stats") {
            out.stats = true;
        } else if (arg == "--hex" || arg == "--ascii" || arg == "--both") {
            out.show = arg == "--hex"     ? core::MonitorShow::kHex
                       : arg == "--ascii" ? core::MonitorShow::kAscii
                                          : core::MonitorShow::kBoth;
        } else if (arg == "--raw" || arg == "--read") {
            if (i + 1 >= argc)
                return failure(arg + " needs a file");
            (arg == "--raw" ? out.rawFile : out.readFile) = argv[++i];
        } else if (arg.rfind("--account=", 0) == 0) {
            out.account = arg.substr(10);
        } else if (arg.rfind("--password=", 0) == 0) {
            out.password = arg.substr(11);
            out.hasPassword = true;
        } else if (arg.rfind("--password-file=", 0) == 0) {
            out.passwordFile = arg.substr(16);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return failure("unknown option " + arg);
        } else if (out.command.empty()) {
            out.command = arg;
        } else {
            out.positional.push_back(arg);
        }
    }
    return out;
}

void printTrace(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// The program's device side: capture adapters only when a search needs the raw fallback.
core::DeviceService::Options deviceOptions(bool trace) {
    core::DeviceService::Options options;
    options.captureAtStart = false;
    options.captureOff = [] { std::fprintf(stderr, "tarnctl: %s\n", rawCaptureOffNotice().c_str()); };
    if (trace)
        options.trace = printTrace;
    return options;
}

std::size_t search(core::DeviceService& devices, bool trace) {
    const std::size_t count = devices.search();
    if (trace)
        std::fputc('\n', stdout);
    return count;
}

// Columns padded to their widest cell, two blanks apart; the last one unpadded.
void printTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    }
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

std::vector<std::string> deviceHead() {
    return std::vector<std::string>(core::kDeviceColumnNames.begin(), core::kDeviceColumnNames.end());
}

void printDeviceTable(const core::DeviceService& devices) {
    std::vector<std::vector<std::string>> rows = {deviceHead()};
    for (const auto& cells : devices.rows())
        rows.emplace_back(cells.begin(), cells.end());
    printTable(rows);
}

int runSearch(core::DeviceService& devices, const Arguments& args) {
    const std::size_t count = search(devices, args.trace);
    printDeviceTable(devices);
    std::printf("%zu device(s) searched.\n", count);
    return kOk;
}

// The exit status and message of a failed device command.
int reportFailure(const core::DeviceFailure& failure, const Arguments& args, const std::string& ip) {
    switch (failure.kind) {
    case core::DeviceFailure::kNoDevice:
        std::fprintf(stderr, "tarnctl: no device with IP %s answered the search.\n", ip.c_str());
        return kNoDevice;
    case core::DeviceFailure::kLoginFailed:
        std::fprintf(stderr, "tarnctl: Login failure. (device %s, account \"%s\")\n", ip.c_str(), args.account.c_str());
        return kLoginFailed;
    case core::DeviceFailure::kNotConfirmed:
        std::fprintf(stderr, "tarnctl: the device %s did not confirm the completed write.\n", ip.c_str());
        return kEepromFailed;
    case core::DeviceFailure::kRefused:
        return kRefused;
    case core::DeviceFailure::kEepromFailed:
        break;
    }
    std::fprintf(stderr, "tarnctl: Error: unable to access EEPROM.\nPlease check if EEPROM is valid. (device %s)\n",
                 ip.c_str());
    return kEepromFailed;
}

// The first line of `in`, without its line end; nothing when it cannot be read.
std::optional<std::string> firstLine(std::FILE* in) {
    std::string line;
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n')
        line.push_back(static_cast<char>(c));
    if (std::ferror(in))
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// The terminal's settings while a password is typed, for a signal to restore.
termios g_terminalBeforePrompt{};

void restoreTerminalAndEnd(int signal) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_terminalBeforePrompt);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Asks on the terminal with its echo off; the terminal comes back as it was, also when the
// user ends tarnctl at the prompt.
std::optional<std::string> promptWithoutEcho(const std::string& prompt) {
    if (::tcgetattr(STDIN_FILENO, &g_terminalBeforePrompt) != 0)
        return std::nullopt;
    termios quiet = g_terminalBeforePrompt;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    auto* const previousInt = std::signal(SIGINT, restoreTerminalAndEnd);
    auto* const previousTerm = std::signal(SIGTERM, restoreTerminalAndEnd);
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    auto line = firstLine(stdin);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_terminalBeforePrompt);
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    std::fputc('\n', stderr);
    return line;
}

// The login password from where the user put it: the command line, standard input ("-"), a
// file, or, with an account and none of those, the terminal. An exit status when it cannot.
Result<std::string, int> loginPassword(const Arguments& args, const std::string& ip) {
    if (args.hasPassword && !args.passwordFile.empty()) {
        std::fprintf(stderr, "tarnctl: give --password or --password-file, not both\n\n%s", kUsageText);
        return failure(kBadUsage);
    }
    if (!args.passwordFile.empty()) {
        std::FILE* file = std::fopen(args.passwordFile.c_str(), "re");
        auto line = file ? firstLine(file) : std::nullopt;
        if (file)
            std::fclose(file);
        if (!line) {
            std::fprintf(stderr, "tarnctl: cannot read %s\n", args.passwordFile.c_str());
            return failure(kFileFailed);
        }
        return std::move(*line);
    }
    if (args.hasPassword && args.password == "-") {
        auto line = firstLine(stdin);
        if (!line) {
            std::fprintf(stderr, "tarnctl: cannot read the password from standard input\n");
            return failure(kFileFailed);
        }
        return std::move(*line);
    }
    if (args.hasPassword || args.account.empty() || !::isatty(STDIN_FILENO))
        return args.password;
    auto typed = promptWithoutEcho("Password for " + args.account + " at " + ip + ": ");
    if (!typed) {
        std::fprintf(stderr, "tarnctl: cannot read the password from the terminal\n");
        return failure(kFileFailed);
    }
    return std::move(*typed);
}

// Searches, then logs in to the device: kOk or the failure's exit status.
int searchAndLogIn(core::DeviceService& devices, const Arguments& args, const std::string& ip) {
    search(devices, args.trace);
    auto loggedIn = devices.logIn(ip, args.account, args.password);
    return loggedIn ? kOk : reportFailure(loggedIn.error(), args, ip);
}

int runEepromRead(core::DeviceService& devices, const Arguments& args, const std::string& ip, const std::string& path) {
    if (const int status = searchAndLogIn(devices, args, ip); status != kOk)
        return status;
    auto image = devices.readImage(ip);
    if (!image)
        return reportFailure(image.error(), args, ip);
    // Written aside and renamed, so a failed write never leaves a partial image under FILE.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.value().data()), static_cast<std::streamsize>(kEepromImageSize));
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

int runEepromWrite(core::DeviceService& devices, const Arguments& args, const std::string& ip,
                   const std::string& path) {
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
    if (const int status = searchAndLogIn(devices, args, ip); status != kOk)
        return status;
    EepromImage image{};
    std::memcpy(image.data(), bytes.data(), image.size());
    if (auto written = devices.writeImage(ip, image); !written)
        return reportFailure(written.error(), args, ip);
    std::printf("EEPROM image %s written to %s (%zu bytes), write complete.\n", path.c_str(), ip.c_str(),
                kEepromImageSize);
    return kOk;
}

// --- The mapping commands: through the running program's control channel, or on the file.

using Fields = std::vector<std::string>;

constexpr std::chrono::seconds kAnswerLimit{30};
// A search runs about seven seconds, after whatever the worker is doing.
constexpr std::chrono::seconds kSearchLimit{120};
// A starting tarn or tarnd takes the owner lock first and serves the socket once it has
// loaded the stored mappings, about a second later.
constexpr std::chrono::seconds kReachLimit{15};

// The running program, or, when none runs, the owner lock that keeps one from starting
// while the file is changed.
struct Reached {
    std::optional<core::ControlClient> program;
    std::optional<core::QuietOwnerLock> fileLock;
};

// The running program, or the file under the owner lock when `fileWillDo`; else the exit status.
Result<Reached, int> reach(bool fileWillDo) {
    const std::string path = core::controlSocketPath();
    const auto deadline = std::chrono::steady_clock::now() + kReachLimit;
    for (;;) {
        core::ControlClient client;
        const auto connected = client.connect(path);
        if (connected) {
            Reached reached;
            reached.program = std::move(client);
            return reached;
        }
        if (!connected.error().noProgram) {
            std::fprintf(stderr, "tarnctl: %s\n", connected.error().error.c_str());
            return failure(kNoProgram);
        }
        std::string error;
        core::QuietOwnerLock lock = core::QuietOwnerLock::tryTake(error);
        if (lock.held()) {
            if (!fileWillDo) {
                std::fprintf(stderr, "tarnctl: no tarn or tarnd runs.\n");
                return failure(kNoProgram);
            }
            Reached reached;
            reached.fileLock = std::move(lock);
            return reached;
        }
        if (!lock.busy()) {
            std::fprintf(stderr, "tarnctl: %s\n", error.c_str());
            return failure(kNoProgram);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr,
                         "tarnctl: a tarn or tarnd holds the owner lock, but its control socket %s does not "
                         "answer.\n",
                         path.c_str());
            return failure(kNoProgram);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// "Please ...\n" as one message on standard error, whatever its line breaks.
void printMessage(const std::string& text) {
    std::string shown = text;
    while (!shown.empty() && shown.back() == '\n')
        shown.pop_back();
    std::fprintf(stderr, "tarnctl: %s\n", shown.c_str());
}

// Sends one request and collects its data lines; the status tells how it ended, and the
// final line's value is the answer's.
struct Answer {
    std::vector<Fields> data;
    std::string value;
};
Result<Answer, int> ask(core::ControlClient& program, const Fields& request,
                        std::chrono::milliseconds limit = kAnswerLimit) {
    if (!program.send(request)) {
        std::fprintf(stderr, "tarnctl: the running program went away.\n");
        return failure(kNoProgram);
    }
    Answer answer;
    for (;;) {
        auto line = program.readLine(limit);
        if (!line || line->empty()) {
            std::fprintf(stderr, "tarnctl: the running program did not answer.\n");
            return failure(kNoProgram);
        }
        const std::string& kind = line->front();
        answer.value = line->size() > 1 ? (*line)[1] : std::string();
        if (kind == "ok")
            return answer;
        if (kind == "refused") {
            printMessage(answer.value);
            return failure(kRefused);
        }
        if (kind == "error") {
            std::fprintf(stderr, "tarnctl: the running program answered: %s\n", answer.value.c_str());
            return failure(kProgramError);
        }
        answer.data.push_back(std::move(*line));
    }
}

// Asks the running program for a change and says what it did: kOk or the failure's status.
int change(core::ControlClient& program, const Fields& request, const char* done) {
    const auto answer = ask(program, request);
    if (!answer)
        return answer.error();
    std::printf("%s %s.\n", answer->value.c_str(), done);
    return kOk;
}

// "COM5", "com5" or "5" as the number's text; anything else is left for the checks.
std::string comText(const std::string& argument) {
    if (argument.size() > 3 && strncasecmp(argument.c_str(), "COM", 3) == 0)
        return argument.substr(3);
    return argument;
}

// Below the table: the cells of an RFC 2217 mapping match a TCP client's.
void printRfc2217Notes(const std::vector<std::string>& comNumbers) {
    for (const std::string& com : comNumbers)
        std::printf("COM%s is an rfc2217 mapping: a TCP client that speaks RFC 2217 (Telnet COM Port Control).\n",
                    com.c_str());
}

// The cells a stored, not running mapping shows on the mapping page.
Fields storedRow(std::size_t position, const tarnDesc& desc) {
    const bool tcp = desc.mode != kModeUdp;
    const bool server = desc.mode == kModeTcpServer;
    return {std::to_string(position + 1),
            std::to_string(desc.comNum),
            tcp ? "TCP" : "UDP",
            tcp ? (server ? "Server" : "Client") : "N/A",
            server ? "N/A" : desc.ipAddress,
            server ? "N/A" : std::to_string(desc.remotePort),
            tcp && !server ? "N/A" : std::to_string(desc.localPort)};
}

// Below the table with --stats: each mapping's bytes and rates.
void printStats(const std::vector<Fields>& lines) {
    std::vector<Fields> rows = {
        {"COM Port", "App->Dev Bytes", "Dev->App Bytes", "Sent", "Received", "App->Dev B/s", "Dev->App B/s"}};
    for (const Fields& line : lines) {
        // stats, COM number, to the device, to the application, sent, received, the two rates
        if (line.size() == 8 && line[0] == "stats")
            rows.emplace_back(line.begin() + 1, line.end());
    }
    std::printf("\n");
    printTable(rows);
}

int runList(bool stats) {
    auto reached = reach(true);
    if (!reached)
        return reached.error();
    if (reached->fileLock) {
        const std::string path = core::storedMappingsPath();
        const auto stored = core::storedMappings(path);
        if (!stored) {
            std::fprintf(stderr, "tarnctl: cannot read %s\n", path.c_str());
            return kFileFailed;
        }
        std::fprintf(stderr, "tarnctl: no tarn or tarnd runs; the mappings stored in %s:\n", path.c_str());
        std::vector<Fields> rows = {Fields(core::kMappingColumnNames.begin(), core::kMappingColumnNames.begin() + 7)};
        std::vector<std::string> rfc2217;
        for (std::size_t i = 0; i < stored->size(); ++i) {
            rows.push_back(storedRow(i, (*stored)[i]));
            if (isRfc2217((*stored)[i]))
                rfc2217.push_back(std::to_string((*stored)[i].comNum));
        }
        printTable(rows);
        printRfc2217Notes(rfc2217);
        if (stats)
            std::fprintf(stderr, "tarnctl: the traffic figures need a running tarn or tarnd.\n");
        return kOk;
    }
    const auto answer = ask(*reached->program, stats ? Fields{"list", "stats"} : Fields{"list"});
    if (!answer)
        return answer.error();
    Fields head(core::kMappingColumnNames.begin(), core::kMappingColumnNames.end());
    head.push_back("Input Lines");
    std::vector<Fields> rows = {head};
    std::vector<std::string> red;
    std::vector<std::string> rfc2217;
    for (const Fields& line : answer->data) {
        // kind, COM number, rfc2217
        if (line.size() == 3 && line[0] == "kind" && line[2] == "rfc2217")
            rfc2217.push_back(line[1]);
        // mapping, red, input lines, the fifteen cells
        if (line.size() != 3 + core::kMappingColumnNames.size() || line[0] != "mapping")
            continue;
        Fields row(line.begin() + 3, line.end());
        row.push_back(line[2]);
        if (line[1] == "1")
            red.push_back(line[4]);
        rows.push_back(std::move(row));
    }
    printTable(rows);
    printRfc2217Notes(rfc2217);
    for (const std::string& com : red)
        std::printf("COM%s is drawn red: its port is open and its connection is down.\n", com.c_str());
    if (stats)
        printStats(answer->data);
    return kOk;
}

// The exit status and message of a mapping-file change that did not happen.
int reportFileFailure(const core::FileFailure& failure) {
    if (failure.kind == core::FileFailure::kRefused) {
        printMessage(failure.message);
        return kRefused;
    }
    std::fprintf(stderr, "tarnctl: %s\n", failure.message.c_str());
    return kFileFailed;
}

int runAdd(const Arguments& args) {
    if (args.positional.size() < 2 || args.positional.size() > 3) {
        std::fprintf(stderr, "tarnctl: add needs MODE and COM (and IP)\n\n%s", kUsageText);
        return kBadUsage;
    }
    const std::string& mode = args.positional[0];
    if (mode != "tcp-server" && mode != "tcp-client" && mode != "rfc2217" && mode != "udp") {
        std::fprintf(stderr, "tarnctl: unknown mode %s (tcp-server, tcp-client, rfc2217 or udp)\n", mode.c_str());
        return kBadUsage;
    }
    const bool autoCom = args.positional[1] == "auto";
    const std::string com = autoCom ? "auto" : comText(args.positional[1]);
    const std::string ip = args.positional.size() > 2 ? args.positional[2] : std::string();

    core::AddRequest request;
    request.comText = com;
    request.ipText = ip;
    request.localPortText = args.localPort;
    request.remotePortText = args.remotePort;
    request.isTcp = mode != "udp";
    request.isServer = mode == "tcp-server";
    request.rfc2217 = mode == "rfc2217";
    auto reached = reach(true);
    if (!reached)
        return reached.error();
    if (reached->program) {
        const Fields fields{"add", mode, com, ip, args.localPort, args.remotePort};
        if (core::joinLine(fields).size() <= core::kMaxControlLine)
            return change(*reached->program, fields, "is created");
        // More than a request line holds: refused here, with the checks' own text as without
        // a running program, instead of the program's "request line too long".
        const std::deque<std::int32_t> systemPorts = core::machineSerialPorts();
        if (autoCom)
            request.comText = std::to_string(core::proposeComNumber(systemPorts, {}));
        const core::AddCheck check = core::checkAdd(request, systemPorts, {});
        printMessage(check ? "The request is too long for the running program.\n" : check.error().message);
        return kRefused;
    }
    // The same records the program would check against: its own system ports and the file's.
    const std::deque<std::int32_t> systemPorts = core::machineSerialPorts();
    const std::string path = core::storedMappingsPath();
    const core::FileChange change = core::addToMappingFile(path, request, autoCom, systemPorts);
    if (!change)
        return reportFileFailure(change.error());
    std::printf("COM%d is stored in %s; it runs when tarn or tarnd starts.\n", change.value(), path.c_str());
    return kOk;
}

int runRemove(const Arguments& args) {
    const std::string text = args.positional.size() == 1 ? comText(args.positional[0]) : std::string();
    std::int32_t com = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), com);
    if (text.empty() || failure != std::errc() || end != text.data() + text.size() || com <= 0) {
        std::fprintf(stderr, "tarnctl: remove needs one COM<n>\n\n%s", kUsageText);
        return kBadUsage;
    }
    auto reached = reach(true);
    if (!reached)
        return reached.error();
    if (reached->program)
        return change(*reached->program, {"remove", std::to_string(com)}, "is removed");
    const std::string path = core::storedMappingsPath();
    const core::FileChange change = core::removeFromMappingFile(path, com);
    if (!change)
        return reportFileFailure(change.error());
    std::printf("COM%d is removed from %s.\n", com, path.c_str());
    return kOk;
}

// Rows are printed as they come, as tarnd prints its own: one line each, its line breaks
// turned into blanks.
int runLog(const Arguments& args) {
    auto reached = reach(false);
    if (!reached)
        return reached.error();
    core::ControlClient& program = *reached->program;
    if (!program.send(args.follow ? Fields{"log", "follow"} : Fields{"log"})) {
        std::fprintf(stderr, "tarnctl: the running program went away.\n");
        return kNoProgram;
    }
    for (;;) {
        auto line = program.readLine(args.follow ? std::chrono::milliseconds(-1) : kAnswerLimit);
        if (!line || line->empty()) {
            // A follower's program has ended: that is the end of its log.
            if (args.follow)
                return kOk;
            std::fprintf(stderr, "tarnctl: the running program did not answer.\n");
            return kNoProgram;
        }
        const Fields& fields = *line;
        if (fields[0] == "ok")
            return kOk;
        if (fields[0] == "error") {
            std::fprintf(stderr, "tarnctl: the running program answered: %s\n",
                         fields.size() > 1 ? fields[1].c_str() : "");
            return kProgramError;
        }
        if (fields[0] != "log" || fields.size() != 4)
            continue;
        std::string text = fields[2] + " " + fields[3];
        for (char& c : text) {
            if (c == '\n' || c == '\r')
                c = ' ';
        }
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
}

int runDevices(const Arguments& args) {
    auto reached = reach(false);
    if (!reached)
        return reached.error();
    const auto answer =
        ask(*reached->program, {args.search ? "search" : "devices"},
            args.search ? std::chrono::milliseconds(kSearchLimit) : std::chrono::milliseconds(kAnswerLimit));
    if (!answer)
        return answer.error();
    std::vector<Fields> rows = {deviceHead()};
    for (const Fields& line : answer->data) {
        if (line.size() == 1 + core::kDeviceColumnNames.size() && line[0] == "device")
            rows.emplace_back(line.begin() + 1, line.end());
    }
    printTable(rows);
    if (args.search)
        std::printf("%s device(s) searched.\n", answer->value.c_str());
    return kOk;
}

// Shows a capture that --raw wrote.
int showCapture(const Arguments& args) {
    const auto capture = monitor::readCapture(args.readFile);
    if (!capture) {
        std::fprintf(stderr, "tarnctl: %s\n", capture.error().c_str());
        return kFileFailed;
    }
    const core::MonitorShow show = args.show.value_or(core::MonitorShow::kBoth);
    std::printf("COM%d\n", capture->comNumber);
    for (const monitor::Record& record : capture->records)
        std::printf("%s\n", core::monitorLine(record, capture->wallOffsetUs, show).c_str());
    return kOk;
}

int runMonitor(const Arguments& args) {
    if (!args.readFile.empty()) {
        if (!args.positional.empty() || !args.rawFile.empty()) {
            std::fprintf(stderr, "tarnctl: monitor --read takes a file and nothing else\n\n%s", kUsageText);
            return kBadUsage;
        }
        return showCapture(args);
    }
    if (args.positional.size() != 1) {
        std::fprintf(stderr, "tarnctl: monitor needs one COM<n>\n\n%s", kUsageText);
        return kBadUsage;
    }
    auto reached = reach(false);
    if (!reached)
        return reached.error();
    core::ControlClient& program = *reached->program;
    if (!program.send({"monitor", comText(args.positional[0])})) {
        std::fprintf(stderr, "tarnctl: the running program went away.\n");
        return kNoProgram;
    }
    const core::MonitorShow show = args.show.value_or(core::MonitorShow::kBoth);
    std::unique_ptr<monitor::CaptureWriter> raw;
    std::int64_t wallOffset = 0;
    for (;;) {
        auto line = program.readLine(std::chrono::milliseconds(-1));
        if (!line || line->empty()) {
            std::fprintf(stderr, "tarnctl: the running program ended.\n");
            return kOk;
        }
        const Fields& fields = *line;
        const std::string value = fields.size() > 1 ? fields[1] : std::string();
        if (fields[0] == "monitor" && fields.size() == 3) {
            wallOffset = std::strtoll(fields[2].c_str(), nullptr, 10);
            std::printf("Monitoring COM%s; Ctrl-C ends it.\n", value.c_str());
            if (!args.rawFile.empty()) {
                auto writer = monitor::CaptureWriter::create(args.rawFile, wallOffset, std::atoi(value.c_str()));
                if (!writer) {
                    std::fprintf(stderr, "tarnctl: %s\n", writer.error().c_str());
                    return kFileFailed;
                }
                raw = std::move(writer.value());
            }
        } else if (const auto record = core::monitorRecord(fields)) {
            std::printf("%s\n", core::monitorLine(*record, wallOffset, show).c_str());
            if (raw && !raw->write({*record})) {
                std::fprintf(stderr, "tarnctl: cannot write %s: %s\n", args.rawFile.c_str(), std::strerror(errno));
                return kFileFailed;
            }
        } else if (fields[0] == "ok") {
            std::printf("%s\n", value.c_str());
            return kOk;
        } else if (fields[0] == "refused") {
            printMessage(value);
            return kRefused;
        } else if (fields[0] == "error") {
            std::fprintf(stderr, "tarnctl: the running program answered: %s\n", value.c_str());
            return kProgramError;
        }
        std::fflush(stdout);
    }
}

int runMappingCommand(const Arguments& args) {
    const std::string& command = args.command;
    // Options that belong to another command are a slip worth saying.
    const bool portsGiven = args.hasLocalPort || args.hasRemotePort;
    if ((portsGiven && command != "add") || (args.follow && command != "log") ||
        (args.search && command != "devices") || (args.stats && command != "list") ||
        ((args.show || !args.rawFile.empty() || !args.readFile.empty()) && command != "monitor")) {
        std::fprintf(stderr, "tarnctl: an option does not belong to %s\n\n%s", command.c_str(), kUsageText);
        return kBadUsage;
    }
    if (command == "add")
        return runAdd(args);
    if (command == "remove")
        return runRemove(args);
    if (command == "monitor")
        return runMonitor(args);
    if (!args.positional.empty()) {
        std::fprintf(stderr, "tarnctl: wrong arguments for %s\n\n%s", command.c_str(), kUsageText);
        return kBadUsage;
    }
    if (command == "list")
        return runList(args.stats);
    if (command == "log")
        return runLog(args);
    return runDevices(args);
}

// --- Device configuration through the dialog's description, shown and edited as text.

using Assignment = std::pair<std::string, std::string>;

int runConfig(core::DeviceService& devices, const Arguments& args) {
    const bool show = args.positional[0] == "show";
    const std::string& ip = args.positional[1];
    config::TextForm form;
    const config::LoadResult loaded = form.load(config::descriptionPath());
    if (!loaded) {
        printMessage(loaded.error());
        return kFileFailed;
    }
    for (const std::string& name : loaded.value())
        std::fprintf(stderr, "tarnctl: the field \"%s\" lies outside the %zu-byte image and is left out.\n",
                     name.c_str(), kEepromImageSize);

    // Names and choices are checked on the empty form, before anything goes on the network.
    std::vector<Assignment> assignments;
    for (std::size_t i = 2; i < args.positional.size(); ++i) {
        const std::string& text = args.positional[i];
        const auto equals = text.find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "tarnctl: \"%s\" is no NAME=VALUE\n", text.c_str());
            return kBadUsage;
        }
        assignments.emplace_back(text.substr(0, equals), text.substr(equals + 1));
        if (const std::string error = form.set(assignments.back().first, assignments.back().second); !error.empty()) {
            std::fprintf(stderr, "tarnctl: %s\n", error.c_str());
            return kBadUsage;
        }
    }

    if (const int status = searchAndLogIn(devices, args, ip); status != kOk)
        return status;
    auto image = devices.readImage(ip);
    if (!image)
        return reportFailure(image.error(), args, ip);
    core::DeviceService::showConfiguration(form.items(), image.value());
    if (show) {
        for (const auto& field : form.fields())
            std::printf("%s: %s\n", field.name.c_str(), field.value.c_str());
        return kOk;
    }

    for (const auto& [name, value] : assignments) {
        if (const std::string error = form.set(name, value); !error.empty()) {
            std::fprintf(stderr, "tarnctl: %s\n", error.c_str());
            return kBadUsage;
        }
    }
    auto collected = core::DeviceService::collectConfiguration(form.items(), image.value());
    if (!collected) {
        for (const std::string& name : collected.error().refused) {
            const auto given = std::find_if(assignments.begin(), assignments.end(),
                                            [&](const Assignment& a) { return a.first == name; });
            if (given != assignments.end())
                std::fprintf(stderr, "tarnctl: the value \"%s\" of \"%s\" is refused.\n", given->second.c_str(),
                             name.c_str());
            else
                std::fprintf(stderr, "tarnctl: the value of \"%s\" is refused.\n", name.c_str());
        }
        std::fprintf(stderr, "tarnctl: nothing was written to %s.\n", ip.c_str());
        return kRefused;
    }
    if (auto written = devices.writeImage(ip, collected.value()); !written)
        return reportFailure(written.error(), args, ip);
    std::printf("Configuration of %s written (%zu field(s) set), write complete.\n", ip.c_str(), assignments.size());
    return kOk;
}

} // namespace

int main(int argc, char** argv) {
    const auto parsed = parseArguments(argc, argv);
    if (!parsed) {
        std::fprintf(stderr, "tarnctl: %s\n\n%s", parsed.error().c_str(), kUsageText);
        return kBadUsage;
    }
    Arguments args = parsed.value();
    if (args.help) {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    if (args.version) {
        std::printf("tarnctl %s\n", TARN_VERSION);
        return kOk;
    }
    if (args.command == "list" || args.command == "add" || args.command == "remove" || args.command == "log" ||
        args.command == "devices" || args.command == "monitor") {
        if (args.trace || !args.account.empty() || args.hasPassword || !args.passwordFile.empty()) {
            std::fprintf(stderr, "tarnctl: an option does not belong to %s\n\n%s", args.command.c_str(), kUsageText);
            return kBadUsage;
        }
        const int status = runMappingCommand(args);
        std::fflush(stdout);
        return status;
    }
    const bool isSearch = args.command == "search";
    const bool isEeprom = args.command == "eeprom-read" || args.command == "eeprom-write";
    const bool isConfig = args.command == "config";
    if (!isSearch && !isEeprom && !isConfig) {
        std::fprintf(stderr, "tarnctl: %s\n\n%s",
                     args.command.empty() ? "no command given" : ("unknown command " + args.command).c_str(),
                     kUsageText);
        return kBadUsage;
    }
    const std::size_t given = args.positional.size();
    const bool configShape =
        given >= 2 && ((args.positional[0] == "show" && given == 2) || (args.positional[0] == "set" && given >= 3));
    if (isSearch ? given != 0 : isConfig ? !configShape : given != 2) {
        std::fprintf(stderr, "tarnctl: wrong arguments for %s\n\n%s", args.command.c_str(), kUsageText);
        return kBadUsage;
    }
    // The device's IP: first for the image commands, after show/set for config.
    const std::string* ip = isEeprom ? &args.positional[0] : isConfig ? &args.positional[1] : nullptr;
    if (ip && !core::isDeviceAddress(*ip)) {
        std::fprintf(stderr, "tarnctl: '%s' is not an IPv4 address\n", ip->c_str());
        return kBadUsage;
    }

    if (ip) {
        auto password = loginPassword(args, *ip);
        if (!password)
            return password.error();
        args.password = std::move(password.value());
    }

    std::signal(SIGPIPE, SIG_IGN);
    startSocketLayer();
    int status = kOk;
    {
        core::DeviceService devices(deviceOptions(args.trace));
        if (isSearch)
            status = runSearch(devices, args);
        else if (isConfig)
            status = runConfig(devices, args);
        else if (args.command == "eeprom-read")
            status = runEepromRead(devices, args, args.positional[0], args.positional[1]);
        else
            status = runEepromWrite(devices, args, args.positional[0], args.positional[1]);
    }
    std::fflush(stdout);
    stopSocketLayer();
    return status;
}

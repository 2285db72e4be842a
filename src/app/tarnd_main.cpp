// tarnd: the program core without a window. Loads the mapping file, runs every mapping,
// prints each message-log row on standard output, and ends on SIGTERM or SIGINT with the
// shut-down sequence.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "core/log_output.h"
#include "core/program_core.h"
#include "core/program_entry.h"
#include "platform/capabilities.h"

namespace {

void printUsage(std::FILE* out) {
    std::fputs("usage: tarnd [--no-search] [--help] [--version]\n"
               "\n"
               "Runs the virtual serial port mappings of the mapping file without a window:\n"
               "each port COM<n> appears as a link in the port directory and its bytes travel\n"
               "to and from the mapping's TCP or UDP peer. Every message-log row is printed on\n"
               "standard output as one line: the time, a blank, the text.\n"
               "\n"
               "  --no-search  do not search for device servers (and open no device-management\n"
               "               endpoint or capture adapter)\n"
               "  --help       show this text\n"
               "  --version    show the program's version\n"
               "\n"
               "Mapping file: $XDG_CONFIG_HOME/tarn/79828669767684658278 (default ~/.config/tarn/).\n"
               "Port links:   $XDG_RUNTIME_DIR/tarn/COM<n>, else /tmp/tarn-<uid>/COM<n>.\n"
               "SIGTERM or SIGINT ends the program and removes its port links; the mapping file\n"
               "is left as it was.\n"
               "The raw Ethernet discovery needs root or CAP_NET_RAW (setcap cap_net_raw+ep).\n",
               out);
}

// An application cannot read the device's input lines from a pseudo-terminal; the window
// shows them with each mapping, and without a window each change becomes a log row. Checked
// about once a second, as the window refreshes.
class InputLinesWatch {
public:
    void check(core::ProgramCore& program) {
        std::map<std::int32_t, std::string> now;
        for (const core::MappingRow& row : program.mappingRows()) {
            const auto before = m_shown.find(row.comNumber);
            const std::string& shown = before == m_shown.end() ? m_allOff : before->second;
            if (row.inputLines != shown)
                program.logMappingMessage("COM" + std::to_string(row.comNumber) + " input lines: " + row.inputLines);
            now[row.comNumber] = row.inputLines;
        }
        m_shown.swap(now);
    }

private:
    const std::string m_allOff = core::inputLinesAllOff();
    std::map<std::int32_t, std::string> m_shown;
};

} // namespace

int main(int argc, char** argv) {
    core::EntryOptions entry;
    if (const auto status = core::parseEntryOptions(argc, argv, "tarnd", TARN_VERSION, printUsage, entry, false))
        return *status;

    // The end signals only wake the main loop; the shut-down sequence then runs on the main
    // thread.
    const int endSignals = core::installEndSignals("tarnd");
    if (endSignals < 0)
        return 1;
    // One instance per user: a tarn or tarnd that runs already is ended (it shuts down as on
    // SIGTERM, freeing its ports) before this one loads the mappings. Held until exit.
    const auto instance = core::takeOwnerLock("tarnd");

    // Said once, on standard error: the search goes on without the raw fallback.
    if (entry.search && !mayCaptureRaw())
        std::fprintf(stderr, "tarnd: %s\n", rawCaptureOffNotice().c_str());

    core::CoreOptions options;
    // Without a search dialog, the worker itself announces each finished search, which logs
    // "%u device(s) searched.".
    options.workerAnnouncesSearch = true;
    options.deviceManagement = entry.search;
    options.searchAtStartUp = entry.search;
    // tarnctl's way in; only the lock's holder may serve the user's one socket.
    options.controlChannel = instance && instance->held();

    // Rows reach standard output through a queue and a thread of their own: a reader that
    // stalls must not hold up the mapping (and its lock) that logged.
    core::LogOutput output(STDOUT_FILENO);
    core::ProgramCore program(options);
    auto print = [&output](const core::LogRow& row) { output.push(row); };
    program.mappingLog().setObserver(print);
    program.deviceLog().setObserver(print);
    // The loop below sleeps in poll() on this descriptor; without it events would wait for
    // the next tick, so the program refuses to run rather than run sluggishly.
    if (program.mainLoop().waitFd() < 0) {
        std::fprintf(stderr, "tarnd: cannot make the main loop's event descriptor: %s\n",
                     std::strerror(program.mainLoop().waitFdError()));
        return 1;
    }
    program.start();

    InputLinesWatch inputLines;
    auto nextCheck = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        pollfd fds[2] = {{program.mainLoop().waitFd(), POLLIN, 0}, {endSignals, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
            std::perror("tarnd: poll");
            break;
        }
        program.mainLoop().drain();
        if (fds[1].revents & POLLIN)
            break;
        if (std::chrono::steady_clock::now() >= nextCheck) {
            inputLines.check(program);
            program.reportUncarriedBreaks();
            program.sampleTraffic();
            nextCheck = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        }
    }
    program.shutDown();
    program.mappingLog().setObserver(nullptr);
    program.deviceLog().setObserver(nullptr);
    // What is queued still goes out if the output takes it; a blocked one cannot hold the
    // end up for longer than this.
    output.finish(std::chrono::seconds(2));
    return 0;
}

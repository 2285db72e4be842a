#include "core/command_service.h"

#include <charconv>
#include <limits>

#include "core/add_path.h"
#include "core/monitor_text.h"
#include "core/program_core.h"
#include "core/worker.h"

namespace core {
namespace {

std::string okLine(const std::string& value) {
    return joinLine({"ok", value});
}

// Where a log stream stands in each of the two logs, by row sequence: rows the log has
// discarded meanwhile are skipped, never sent twice.
struct LogCursor {
    MessageLog* logs[2] = {};
    const char* names[2] = {"mapping", "device"};
    std::uint64_t next[2] = {};
    std::uint64_t end[2] = {}; // a plain read ends with the rows there were at the request
    bool follow = false;
    std::size_t sent = 0;
};

// Rows fetched per look at a log: enough to fill the room, without copying a whole log for
// a client that takes a few rows at a time.
constexpr std::size_t kRowsPerPull = 256;

// A monitor's records go out as the client takes them; what its ring dropped meanwhile is
// told as a count, in its place.
bool pullRecords(MonitorHold& hold, bool& started, std::string& out, std::size_t room) {
    if (!started) {
        out += joinLine({"monitor", std::to_string(hold.comNumber), std::to_string(hold.wallOffsetUs)});
        started = true;
    }
    monitor::Ring& ring = hold.watch->ring();
    std::vector<monitor::Record> records;
    std::uint64_t lost = 0;
    // Hex doubles the data; a record's other fields are short.
    ring.take(records, room / 3, lost);
    if (lost > 0)
        out += joinLine(monitorFields({monitor::nowUs(), monitor::Flow::kLost, std::to_string(lost)}));
    for (const monitor::Record& record : records)
        out += joinLine(monitorFields(record));
    if (records.empty() && ring.ended()) {
        out += okLine("COM" + std::to_string(hold.comNumber) + " was removed");
        return false;
    }
    return true;
}

bool pullRows(LogCursor& cursor, std::string& out, std::size_t room) {
    for (int k = 0; k < 2; ++k) {
        while (out.size() < room && (cursor.follow || cursor.next[k] < cursor.end[k])) {
            const std::vector<LogRow> rows = cursor.logs[k]->rowsFrom(cursor.next[k], kRowsPerPull);
            if (rows.empty())
                break;
            for (const LogRow& row : rows) {
                if (!cursor.follow && row.sequence >= cursor.end[k]) {
                    cursor.next[k] = cursor.end[k]; // the rest came after the request
                    break;
                }
                if (out.size() >= room)
                    break;
                out += joinLine({"log", cursor.names[k], row.time, row.text});
                cursor.next[k] = row.sequence + 1;
                ++cursor.sent;
            }
        }
    }
    if (cursor.follow || cursor.next[0] < cursor.end[0] || cursor.next[1] < cursor.end[1])
        return true;
    out += okLine(std::to_string(cursor.sent));
    return false;
}

} // namespace

Result<std::unique_ptr<ControlService>, std::string> ControlService::open(ProgramCore& core, const std::string& path,
                                                                          const Options& options) {
    std::unique_ptr<ControlService> service(new ControlService(core, options));
    ControlService* self = service.get();
    // Runs on the channel's thread: a line that cannot be read is answered there and never
    // reaches the program.
    auto handler = [self](ControlChannel& channel, ClientId client, std::string line) {
        auto request = splitLine(line);
        if (!request) {
            channel.reply(client, joinLine({"error", "malformed request line"}));
            return;
        }
        // m_channel is set by the time the main loop runs this: open() runs on the main thread.
        self->m_core.mainLoop().post([self, client, request = std::move(*request)] { self->execute(client, request); });
    };
    auto channel = ControlChannel::open(path, std::move(handler), options.limits);
    if (!channel)
        return failure(channel.error());
    service->m_channel = std::move(channel.value());
    return service;
}

void ControlService::execute(ClientId client, const std::vector<std::string>& request) {
    const std::string& command = request.front();
    const std::size_t arguments = request.size() - 1;
    if (command == "list" && arguments == 0)
        list(client, false);
    else if (command == "list" && arguments == 1 && request[1] == "stats")
        list(client, true);
    else if (command == "monitor" && arguments == 1)
        watch(client, request[1]);
    else if (command == "add" && arguments == 5)
        add(client, request);
    else if (command == "remove" && arguments == 1)
        remove(client, request);
    else if (command == "devices" && arguments == 0)
        devices(client);
    else if (command == "search" && arguments == 0)
        search(client);
    else if (command == "log" && arguments == 0)
        log(client, false);
    else if (command == "log" && arguments == 1 && request[1] == "follow")
        log(client, true);
    else if (command == "list" || command == "add" || command == "remove" || command == "devices" ||
             command == "search" || command == "log" || command == "monitor")
        m_channel->reply(client, joinLine({"error", "wrong arguments for " + command}));
    else
        m_channel->reply(client, joinLine({"error", "unknown command " + command}));
}

void ControlService::list(ClientId client, bool stats) {
    std::string answer;
    const std::vector<MappingRow> rows = m_core.mappingRows();
    for (const MappingRow& row : rows) {
        std::vector<std::string> fields = {"mapping", row.drawnRed ? "1" : "0", row.inputLines};
        fields.insert(fields.end(), row.cells.begin(), row.cells.end());
        answer += joinLine(fields);
        // A line of its own, which clients that know only mapping lines pass over.
        if (row.rfc2217)
            answer += joinLine({"kind", std::to_string(row.comNumber), "rfc2217"});
        const Traffic& traffic = row.traffic;
        if (stats)
            answer +=
                joinLine({"stats", std::to_string(row.comNumber), std::to_string(traffic.toDevice),
                          std::to_string(traffic.toApp), std::to_string(traffic.sent), std::to_string(traffic.received),
                          std::to_string(static_cast<std::uint64_t>(traffic.toDeviceRate)),
                          std::to_string(static_cast<std::uint64_t>(traffic.toAppRate))});
    }
    answer += okLine(std::to_string(rows.size()));
    m_channel->reply(client, std::move(answer));
}

void ControlService::add(ClientId client, const std::vector<std::string>& request) {
    AddRequest add;
    const std::string& mode = request[1];
    if (mode == "tcp-server") {
        add.isTcp = true;
        add.isServer = true;
    } else if (mode == "tcp-client" || mode == "rfc2217") {
        add.isTcp = true;
        add.isServer = false;
        add.rfc2217 = mode == "rfc2217";
    } else if (mode == "udp") {
        add.isTcp = false;
        add.isServer = false;
    } else {
        m_channel->reply(client,
                         joinLine({"error", "unknown mode " + mode + " (tcp-server, tcp-client, rfc2217 or udp)"}));
        return;
    }
    add.comText = request[2] == "auto" ? std::to_string(m_core.proposedComNumber()) : request[2];
    add.ipText = request[3];
    add.localPortText = request[4];
    add.remotePortText = request[5];
    const CommandOutcome outcome = m_core.addMapping(add);
    if (!outcome.ok()) {
        m_channel->reply(client, joinLine({"refused", outcome.error()}));
        return;
    }
    // A new mapping is appended at the end of the list.
    m_channel->reply(client, okLine("COM" + std::to_string(m_core.lists().mappings.back()->comNumber)));
}

void ControlService::remove(ClientId client, const std::vector<std::string>& request) {
    const std::string& text = request[1];
    std::int32_t com = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), com);
    if (failure != std::errc() || end != text.data() + text.size() || text.empty() || text[0] == '-') {
        m_channel->reply(client, joinLine({"error", "not a COM number: " + text}));
        return;
    }
    const CommandOutcome outcome = m_core.removeMapping(com);
    m_channel->reply(client,
                     outcome.ok() ? okLine("COM" + std::to_string(com)) : joinLine({"refused", outcome.error()}));
}

// The device rows, then the count as "%u device(s) searched." tells it.
std::string ControlService::deviceAnswer() const {
    std::string lines;
    for (const auto& row : m_core.deviceRows()) {
        std::vector<std::string> fields = {"device"};
        fields.insert(fields.end(), row.begin(), row.end());
        lines += joinLine(fields);
    }
    return lines + okLine(std::to_string(m_core.deviceCount()));
}

void ControlService::devices(ClientId client) {
    m_channel->reply(client, deviceAnswer());
}

void ControlService::search(ClientId client) {
    Worker* worker = m_core.worker();
    if (!m_options.canSearch || !worker) {
        m_channel->reply(client, joinLine({"error", "this program does not search for devices"}));
        return;
    }
    const std::uint64_t before = worker->completedCommands();
    m_core.startSearch();
    awaitSearch(client, before);
}

// The worker takes one posted task per pass, before its command: a task that finds the
// search still pending or running comes back one pass later, so the main thread never waits.
// A search already running when the request came is the one whose end is answered.
void ControlService::awaitSearch(ClientId client, std::uint64_t before) {
    m_core.runOnWorker([] {},
                       [this, client, before] {
                           Worker* worker = m_core.worker();
                           if (!worker)
                               return;
                           if (worker->completedCommands() == before || worker->command() == Worker::kSearch) {
                               awaitSearch(client, before);
                               return;
                           }
                           if (m_options.announceSearches)
                               m_core.postMessage(CoreEvent::kSearchFinished);
                           m_channel->reply(client, deviceAnswer());
                       });
}

void ControlService::watch(ClientId client, const std::string& comText) {
    const std::string digits = comText.rfind("COM", 0) == 0 ? comText.substr(3) : comText;
    std::int32_t com = 0;
    const auto [end, failed] = std::from_chars(digits.data(), digits.data() + digits.size(), com);
    if (failed != std::errc() || end != digits.data() + digits.size() || digits.empty() || com <= 0) {
        m_channel->reply(client, joinLine({"error", "not a COM number: " + comText}));
        return;
    }
    auto hold = m_core.watchMapping(com);
    if (!hold) {
        m_channel->reply(client, joinLine({"refused", hold.error()}));
        return;
    }
    // The watch ends with the stream: when the client goes, so does its ring.
    auto state = std::make_shared<std::pair<MonitorHold, bool>>(std::move(hold.value()), false);
    m_channel->stream(client, [state](std::string& out, std::size_t room) {
        return pullRecords(state->first, state->second, out, room);
    });
}

void ControlService::log(ClientId client, bool follow) {
    auto cursor = std::make_shared<LogCursor>();
    cursor->logs[0] = &m_core.mappingLog();
    cursor->logs[1] = &m_core.deviceLog();
    cursor->end[0] = cursor->logs[0]->nextSequence();
    cursor->end[1] = cursor->logs[1]->nextSequence();
    cursor->follow = follow;
    // The logs may be read from any thread, so the rows go out from the channel's thread as
    // fast as the client takes them.
    m_channel->stream(client, [cursor](std::string& out, std::size_t room) { return pullRows(*cursor, out, room); });
}

} // namespace core

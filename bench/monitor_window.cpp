// The port monitor window on a busy mapping, in a private network namespace on Qt's offscreen
// platform: one TCP server mapping whose application and peer both stream at line rate, with
// the mapping's monitor window open. Prints how late the window's event loop ran a 10 ms
// timer (median, p99, worst), the bytes each way, the records the window showed and lost, and
// the process's CPU. Reports numbers; never fails the build and is not a test.
//   bench_monitor_window [--seconds S] [--baud B]
// Needs root (for the namespace).

#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "model/tarn_desc.h"
#include "ui/monitor_records_model.h"
#include "ui/t_port_monitor.h"
#include "ui/tarn_program.h"

namespace {

using namespace bench;

constexpr std::uint16_t kPort = 47100;
constexpr int kCom = 7;

int connectPeer() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kPort);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = waitFor([&] { return ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0; });
    return connected ? fd : -1;
}

// Writes to `fd` for as long as `run` holds, as fast as it takes the bytes.
void writeUntil(int fd, const std::atomic<bool>& run, std::atomic<std::uint64_t>& moved) {
    std::vector<char> block(4096);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7);
    while (run) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n > 0)
            moved += static_cast<std::uint64_t>(n);
    }
}

void readUntil(int fd, const std::atomic<bool>& run, std::atomic<std::uint64_t>& moved) {
    std::vector<char> block(65536);
    while (run) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n > 0)
            moved += static_cast<std::uint64_t>(n);
    }
}

double processCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::uint32_t baud = 921600;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            seconds = std::max(1.0, std::atof(argv[++i]));
        else if (arg == "--baud" && i + 1 < argc)
            baud = static_cast<std::uint32_t>(std::atol(argv[++i]));
        else {
            std::printf("usage: %s [--seconds S] [--baud B]\n", argv[0]);
            return 0;
        }
    }
    std::string why;
    if (!enterPrivateNamespace(why)) {
        std::printf("monitor_window: skipped, no private network namespace (%s); run as root\n", why.c_str());
        return 0;
    }
    char pattern[] = "/tmp/tarn-bench-XXXXXX";
    if (!::mkdtemp(pattern))
        return 0;
    const std::string home = pattern;
    std::filesystem::create_directories(home + "/run");
    std::filesystem::permissions(home + "/run", std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    QApplication application(argc, argv);
    TarnProgram::Options options;
    options.core.pinToFirstCpu = false; // the bench's own ends need the other processor
    options.core.runStartUpCommand = false;
    options.core.mappingFile = home + "/mappings";
    TarnProgram program(std::move(options));
    program.form().show();
    tarnDesc desc;
    desc.comNum = kCom;
    desc.mode = kModeTcpServer;
    std::snprintf(desc.ipAddress, sizeof desc.ipAddress, "0.0.0.0");
    desc.localPort = kPort;
    if (!program.core().addMapping(desc).ok()) {
        std::printf("monitor_window: the mapping could not be made\n");
        return 0;
    }
    const int app = openApplication(home + "/run/tarn/COM" + std::to_string(kCom), baud);
    const int peer = app < 0 ? -1 : connectPeer();
    if (peer < 0) {
        std::printf("monitor_window: set-up failed\n");
        return 0;
    }
    // Non-blocking, so the ends stop when told even with a full buffer before them.
    for (int fd : {app, peer})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    TForm1& form = program.form();
    form.selectPage(TForm1::Page::ComMapping);
    program.core().markMappingListStale();
    form.refreshMappingList();
    form.mappingView()->selectRow(0);
    form.monitorCommand();
    TPortMonitor* monitor = form.monitorWindow(kCom);
    if (!monitor) {
        std::printf("monitor_window: the monitor window did not open\n");
        return 0;
    }

    std::atomic<bool> run{true};
    std::atomic<std::uint64_t> toDevice{0}, toApp{0}, written[2] = {0, 0};
    std::thread appWriter([&] { writeUntil(app, run, written[0]); });
    std::thread peerWriter([&] { writeUntil(peer, run, written[1]); });
    std::thread peerReader([&] { readUntil(peer, run, toDevice); });
    std::thread appReader([&] { readUntil(app, run, toApp); });

    // The window's loop runs a 10 ms timer; how late each tick comes is what a user feels.
    std::vector<double> lateMs;
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &tick, [&] {
        const qint64 now = clock.nsecsElapsed();
        lateMs.push_back(std::max(0.0, static_cast<double>(now - last) / 1e6 - 10.0));
        last = now;
    });
    tick.setTimerType(Qt::PreciseTimer);
    tick.start(10);
    const double cpuBefore = processCpuSeconds();
    // exit, not quit: quit asks the windows to close first, and the main window declines.
    QTimer::singleShot(static_cast<int>(seconds * 1000), &application, [] { QCoreApplication::exit(0); });
    application.exec();
    const double cpu = processCpuSeconds() - cpuBefore;
    tick.stop();
    run = false;
    for (std::thread* t : {&appWriter, &peerWriter, &peerReader, &appReader})
        t->join();

    std::uint64_t lostRecords = 0;
    ui::MonitorRecordsModel& model = *monitor->model();
    for (int row = 0; row < model.rowCount(); ++row)
        if (model.record(row).flow == monitor::Flow::kLost)
            lostRecords += std::strtoull(model.record(row).bytes.c_str(), nullptr, 10);
    std::sort(lateMs.begin(), lateMs.end());
    auto at = [&](double share) {
        return lateMs.empty() ? -1.0 : lateMs[static_cast<std::size_t>(share * static_cast<double>(lateMs.size() - 1))];
    };
    const double lineRate = baud / 10.0;
    std::printf("monitor window on COM%d at %u baud, both ways streaming, %.0f s (offscreen)\n", kCom, baud, seconds);
    std::printf("  app -> device: %.1f %% of the line; device -> app: %.1f %%\n",
                100.0 * static_cast<double>(toDevice) / seconds / lineRate,
                100.0 * static_cast<double>(toApp) / seconds / lineRate);
    std::printf("  10 ms timer lateness: median %.2f ms, p99 %.2f ms, worst %.2f ms (%zu ticks)\n", at(0.5), at(0.99),
                at(1.0), lateMs.size());
    std::printf("  rows in the window: %d; records lost: %llu\n", model.rowCount(),
                static_cast<unsigned long long>(lostRecords));
    std::printf("  CPU of the process (window, core and the bench's ends): %.1f %% of one processor\n",
                100.0 * cpu / seconds);
    std::fflush(stdout);
    monitor->close();
    ::close(app);
    ::close(peer);
    std::filesystem::remove_all(home);
    return 0;
}

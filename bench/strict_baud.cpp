// Strict baud-rate pacing: the rate a 1 ms pump achieves through a virtual port, as a share
// of baud/10 bytes per second (8N1), in each direction. Alongside: the pump's real pass
// period, and the share the same pump reaches unpaced, which is the ceiling the machine
// allows (at most 512 bytes a pass; a loaded machine stretches the 1 ms sleep).
// Reports numbers; never fails.
//   bench_strict_baud [seconds per measurement, default 2]

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "bench_support.h"
#include "bridge/tvs_port_ax.h"

namespace {

using namespace bench;

struct Result {
    double bytesPerSecond = 0;
    double share = 0;
    double passMs = 0;
};

// toApplication: the pump writes to the port and the application reads; else the reverse.
Result measure(std::uint32_t baud, bool toApplication, bool strict, double seconds) {
    TVSPortAx port;
    if (!port.CreatePort(L"COM1")) {
        std::fprintf(stderr, "cannot create the port\n");
        return {};
    }
    const int app = openApplication(port.linkPath(), baud);
    if (app < 0) {
        std::fprintf(stderr, "cannot open the port's link\n");
        return {};
    }
    port.SetStrictBaudrate(strict);
    port.setBaudRate(static_cast<int>(baud));

    std::atomic<bool> stop{false};
    std::thread application([&] {
        unsigned char buffer[4096] = {};
        while (!stop.load()) {
            pollfd pfd{app, static_cast<short>(toApplication ? POLLIN : POLLOUT), 0};
            ::poll(&pfd, 1, 10);
            if (toApplication)
                (void)!::read(app, buffer, sizeof buffer);
            else
                (void)!::write(app, buffer, sizeof buffer);
        }
    });

    // The pump as the bridge runs it: a pass every 1 ms, at most 512 bytes per pass.
    std::uint64_t moved = 0, movedAtStart = 0, passes = 0;
    unsigned char chunk[512] = {};
    const auto warmUp = Clock::now() + 300ms; // past the first burst
    const auto end = warmUp + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    Clock::time_point start{};
    bool started = false;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(1ms);
        if (!started && Clock::now() >= warmUp) {
            started = true;
            start = Clock::now();
            movedAtStart = moved;
        }
        passes += started;
        if (toApplication) {
            moved += port.Write(chunk, sizeof chunk);
        } else {
            std::uint32_t count = sizeof chunk;
            port.Read(chunk, &count);
            moved += count;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    application.join();
    ::close(app);
    port.Delete();

    Result result;
    result.bytesPerSecond = static_cast<double>(moved - movedAtStart) / elapsed;
    result.share = result.bytesPerSecond / (baud / 10.0);
    result.passMs = passes ? elapsed * 1000.0 / static_cast<double>(passes) : 0;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::max(0.2, std::atof(argv[1])) : 2.0;
    char dir[] = "/tmp/tarn-bench-XXXXXX";
    if (!::mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 0;
    }
    ::setenv("XDG_RUNTIME_DIR", dir, 1);

    std::printf("%-9s %-22s %12s %8s %9s %9s\n", "baud", "direction", "bytes/s", "share", "pass ms", "unpaced");
    for (const std::uint32_t baud : {9600u, 115200u, 921600u, 4000000u}) {
        for (const bool toApplication : {true, false}) {
            const Result paced = measure(baud, toApplication, true, seconds);
            const Result ceiling = measure(baud, toApplication, false, seconds);
            std::printf("%-9u %-22s %12.0f %7.1f%% %9.2f %8.1f%%\n", baud,
                        toApplication ? "port -> application" : "application -> port", paced.bytesPerSecond,
                        paced.share * 100.0, paced.passMs, ceiling.share * 100.0);
            std::fflush(stdout);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}

// tarn-devsim: emulates serial-to-Ethernet device servers for tests and demonstrations.

#include <csignal>
#include <cstdio>
#include <string_view>
#include <sys/resource.h>
#include <variant>

#include "options.h"
#include "simulator.h"
#include "text_util.h"

int main(int argc, char** argv) {
    using namespace devsim;
    // Blocked before anything else, so they arrive only through the event loop's signalfd.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Started in the background of an interactive shell, a read of the terminal must fail
    // (and end command input) rather than stop the whole simulator.
    std::signal(SIGTTIN, SIG_IGN);

    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--version") {
            std::printf("tarn-devsim %s\n", TARN_VERSION);
            return 0;
        }
    }
    bool help = false;
    auto parsed = parseOptions(argc, argv, help);
    if (help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (auto* error = std::get_if<std::string>(&parsed)) {
        emitError(*error);
        std::fputs("try tarn-devsim --help\n", stderr);
        return 2;
    }
    Options options = std::get<Options>(std::move(parsed));

    // Every device holds a few sockets; a thousand of them need more than the usual 1024.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    int status = 0;
    {
        Simulator simulator(std::move(options));
        std::string error;
        if (!simulator.start(error)) {
            emitError(error);
            return 1;
        }
        emitLine("devsim ready");
        status = simulator.run();
    }
    emitLine("devsim stopped");
    return status;
}

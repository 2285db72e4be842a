#include "core/affinity.h"

#include <cstdlib>
#include <dirent.h>
#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

namespace core {

std::optional<int> pinToFirstPermittedCpu() {
    cpu_set_t permitted;
    CPU_ZERO(&permitted);
    if (::sched_getaffinity(0, sizeof permitted, &permitted) != 0)
        return std::nullopt;
    int first = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &permitted)) {
            first = cpu;
            break;
        }
    }
    if (first < 0)
        return std::nullopt;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    // The mask belongs to each thread, not to the process: threads that already run (a
    // library's helper thread, say) are pinned one by one; new ones inherit the mask.
    bool pinnedSelf = ::sched_setaffinity(0, sizeof one, &one) == 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (tid > 0)
                ::sched_setaffinity(tid, sizeof one, &one);
        }
        ::closedir(tasks);
    }
    if (!pinnedSelf)
        return std::nullopt;
    return first;
}

} // namespace core

#pragma once
// The mapping file changed while no tarn or tarnd runs: the same add checks and texts as the
// running program's, against the file's records and the system's ports, written atomically.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/add_path.h"
#include "model/tarn_desc.h"
#include "platform/result.h"

namespace core {

// The user's owner lock taken without ending its holder. While it is held no tarn or tarnd
// runs the mappings: one that starts waits for it, then loads the file as left here.
class QuietOwnerLock {
public:
    // One try; not held when someone holds it already, or there is no usable port directory
    // (then `error` says why).
    static QuietOwnerLock tryTake(std::string& error);
    QuietOwnerLock(QuietOwnerLock&& other) noexcept;
    QuietOwnerLock& operator=(QuietOwnerLock&& other) noexcept;
    QuietOwnerLock(const QuietOwnerLock&) = delete;
    QuietOwnerLock& operator=(const QuietOwnerLock&) = delete;
    ~QuietOwnerLock();

    bool held() const { return m_fd >= 0; }
    // Someone else holds the lock (as opposed to a lock that cannot be had at all).
    bool busy() const { return m_busy; }

private:
    QuietOwnerLock() = default;
    int m_fd = -1;
    bool m_busy = false;
};

struct FileFailure {
    enum Kind { kRefused, kFileFailed };
    Kind kind = kFileFailed;
    // The refusal's text as the program gives it, or what failed with the file.
    std::string message;
};
// The COM number stored or removed, or why not.
using FileChange = Result<std::int32_t, FileFailure>;

// Where tarn and tarnd keep their mappings.
std::string storedMappingsPath();
// The machine's own serial ports, which no mapping may take, found as the program finds them.
std::deque<std::int32_t> machineSerialPorts();

// The records the program would run, in file order: a known mode and the first record of its
// COM number. Nothing when the file exists but cannot be read.
std::optional<std::vector<tarnDesc>> storedMappings(const std::string& path);

// Appends the requested mapping if it passes the add checks; with `proposeCom` the COM
// number is the one the add dialog proposes.
FileChange addToMappingFile(const std::string& path, AddRequest request, bool proposeCom,
                            const std::deque<std::int32_t>& systemPorts);
// Removes the stored mapping of COM<comNumber>.
FileChange removeFromMappingFile(const std::string& path, std::int32_t comNumber);

} // namespace core

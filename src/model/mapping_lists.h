#pragma once
// The three parallel process-wide lists: mappings, their thread sets, and the COM numbers in
// use. Owned by the program core and changed only from one thread at a time.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "model/tarn_desc.h"
#include "model/tarn_info.h"
#include "model/tarn_thread.h"

class MappingLists {
public:
    // `maker` makes each new mapping's nine threads; without one a mapping has none
    // (records only, as some tests want).
    explicit MappingLists(ThreadMaker maker = nullptr) : threadMaker(std::move(maker)) {}
    // Program end: stops every mapping's threads, then destroys the mappings front to back.
    ~MappingLists();
    MappingLists(const MappingLists&) = delete;
    MappingLists& operator=(const MappingLists&) = delete;

    // Creates a running mapping for COM<comNumber>: construct, set comNumber, enter the three
    // lists, start the threads, create the port. If the port cannot be created the mapping
    // leaves the lists again, is destroyed, and the result is nullptr.
    TARNINFO* addMapping(std::int32_t comNumber);

    // First position whose comNumber (resp. desc ipAddress, byte for byte) matches, or -1.
    int findByCom(std::int32_t comNumber) const;
    int findByIp(const char* ipText) const;

    // Removes the mapping at `position` from all three lists, calls `removed` (for the log
    // line) while the mapping still exists, destroys it, and renumbers the mappings behind it.
    // A position outside the list throws "invalid deque<T> subscript".
    void removeAt(std::size_t position, const std::function<void(const TARNINFO&)>& removed = nullptr);

    // Program end: every mapping's threads are asked to end first, so no mapping waits for
    // another's pass; then each is destroyed from the front.
    void stopAll();
    void destroyAll();

    std::size_t size() const { return mappings.size(); }
    bool empty() const { return mappings.empty(); }
    TARNINFO& at(std::size_t position) { return *listAt(mappings, position); }
    const TARNINFO& at(std::size_t position) const { return *listAt(mappings, position); }

    const ThreadMaker threadMaker;
    std::deque<std::unique_ptr<TARNINFO>> mappings;
    ThreadSetList threadSets;
    std::deque<std::int32_t> comNumbers;

    // Records of the mapping file that this program cannot run (an unknown mode, or a COM
    // number mapped by an earlier record), kept verbatim so the next save writes them back
    // instead of losing them.
    std::vector<DescRecord> preservedRecords;
    // Set by the first load; a second load does nothing.
    bool fileLoaded = false;
    // The file exists but could not be read at load (or is too long to be): saves are refused
    // so it is not replaced.
    bool fileUnreadable = false;
};

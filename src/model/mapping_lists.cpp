#include "model/mapping_lists.h"

#include <cstring>

MappingLists::~MappingLists() {
    stopAll();
    destroyAll();
}

TARNINFO* MappingLists::addMapping(std::int32_t comNumber) {
    auto created = std::make_unique<TARNINFO>();
    TARNINFO* tarnInfo = created.get();
    tarnInfo->comNumber = comNumber;
    mappings.push_back(std::move(created));
    tarnInfo->index = static_cast<std::int32_t>(mappings.size() - 1);
    tarnInfo->startThreads(threadSets, threadMaker);
    comNumbers.push_back(comNumber);
    if (!tarnInfo->createPort(comNumber)) {
        removeAt(static_cast<std::size_t>(tarnInfo->index));
        return nullptr;
    }
    return tarnInfo;
}

int MappingLists::findByCom(std::int32_t comNumber) const {
    for (std::size_t i = 0; i < mappings.size(); ++i)
        if (mappings[i]->comNumber == comNumber)
            return static_cast<int>(i);
    return -1;
}

int MappingLists::findByIp(const char* ipText) const {
    for (std::size_t i = 0; i < mappings.size(); ++i)
        if (mappings[i]->desc && std::strcmp(mappings[i]->desc->ipAddress, ipText) == 0)
            return static_cast<int>(i);
    return -1;
}

void MappingLists::removeAt(std::size_t position, const std::function<void(const TARNINFO&)>& removed) {
    listAt(mappings, position);
    const auto offset = static_cast<std::ptrdiff_t>(position);
    std::unique_ptr<TARNINFO> tarnInfo = std::move(mappings[position]);
    if (position < comNumbers.size())
        comNumbers.erase(comNumbers.begin() + offset);
    mappings.erase(mappings.begin() + offset);
    if (removed)
        removed(*tarnInfo);
    tarnInfo->destroy(threadSets);
    // The thread set list has closed up behind the destroyed mapping; the positions stored
    // in the mappings follow it.
    for (std::size_t i = position; i < mappings.size(); ++i)
        --mappings[i]->index;
}

void MappingLists::stopAll() {
    for (std::size_t i = 0; i < threadSets.size(); ++i)
        TARNINFO::stopThreads(threadSets, i);
}

void MappingLists::destroyAll() {
    // Each removal renumbers the rest, so every destroy finds its own thread set at the front.
    while (!mappings.empty())
        removeAt(0);
}

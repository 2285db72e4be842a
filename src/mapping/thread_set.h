#pragma once
// The nine threads of a mapping, made for the lists (MappingLists' thread maker).

#include "model/tarn_thread.h"
#include "platform/time_source.h"

class DeviceList;

// Creates the nine threads suspended, all on the set's lock, in the fixed creation order.
// The control session takes its device's control port from `devices` (see mek_ncp_connBuilder).
// Their timed steps count by `time`.
void makeMappingThreadsUsing(TARNThread& threads, TARNINFO* tarnInfo, const DeviceList* devices,
                             const TimeSource& time);
// The same without a device list (no control session comes up), on the steady clock.
inline void makeMappingThreads(TARNThread& threads, TARNINFO* tarnInfo) {
    makeMappingThreadsUsing(threads, tarnInfo, nullptr, steadyTime());
}

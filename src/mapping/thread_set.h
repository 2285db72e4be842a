#pragma once
// The nine threads of a mapping, made for the lists (MappingLists' thread maker).

#include "model/tarn_thread.h"

// Creates the nine threads suspended, all on the set's lock, in the fixed creation order.
void makeMappingThreads(TARNThread& threads, TARNINFO* tarnInfo);

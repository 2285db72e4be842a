#pragma once
// The one place a mapping is put together from its description: records, thread set, port,
// network side and control endpoint; used by the start-up load, the add command and tests.

#include <cstddef>
#include <string>

#include "model/mapping_lists.h"
#include "model/tarn_desc.h"

// A running mapping for `desc`, appended to the lists: construct, enter the lists, start the
// threads, create the port, then set up the network side by mode. nullptr, with every trace
// undone, when the port cannot be made; nullptr, creating nothing, for an unknown mode.
TARNINFO* assembleMapping(MappingLists& lists, const tarnDesc& desc);

// Sets up the freshly created mapping at `position` from its description: the network side
// by mode (under the mapping's lock, its threads already run), desc with only the fields the
// mode uses (and the RFC 2217 mark), and the control endpoint (on for a TCP client, off otherwise). An unknown mode
// sets up nothing: false.
bool setUpMapping(MappingLists& lists, std::size_t position, const tarnDesc& desc);

// Re-creates one running mapping per record of the mapping file, in file order. Missing or
// unreadable file: no mappings. Runs once per MappingLists. A record that cannot run (an
// unknown mode, a COM number mapped by an earlier record, a port that cannot be made) is kept
// byte for byte for the next save; a port that cannot be made is logged as
// "COM%d cannot be created.". A file of more than kMaxMappingRecords records is logged,
// loaded not at all, and never replaced.
void loadMappingFile(MappingLists& lists);
void loadMappingFile(MappingLists& lists, const std::string& path);

#pragma once
// The mapping file: one 112-byte tarnDesc record per mapping, in list order, nothing else.
// Turning its records into running mappings is core/mapping_assembly's work.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model/mapping_lists.h"

// $XDG_CONFIG_HOME/tarn/79828669767684658278 (default ~/.config/tarn/).
std::string mappingFilePath();

// A longer file is not read: no user has that many mappings, and reading it whole could take
// the program's memory.
inline constexpr std::size_t kMaxMappingRecords = 100'000;

enum class MappingReadFailure { Unreadable, TooLong };

// The file's whole records, byte for byte and unknown modes included, without running them
// (a partial record at the end is left out). An empty list when there is no file; nullopt
// when something exists at `path` but cannot be read as a file, or holds more than
// kMaxMappingRecords records (`failure`, when given, says which).
std::optional<std::vector<DescRecord>> readMappingRecords(const std::string& path,
                                                          MappingReadFailure* failure = nullptr);
// Replaces the file with `records`, atomically: a crash leaves the old file or the new one.
// Creates the folder on first use. False when nothing could be written (the old file stays).
bool writeMappingRecords(const std::string& path, const std::vector<DescRecord>& records);

// Replaces the file with the whole list (plus preserved records), atomically: a crash leaves
// the old file or the new one. The folder is created on first save. Returns false when
// nothing could be written (the old file then stays), and refuses to replace a file that
// exists but could not be read at load.
bool saveMappingFile(const MappingLists& lists);
bool saveMappingFile(const MappingLists& lists, const std::string& path);

#pragma once
// Internal to the process reader: the parsers of stat, status and io.
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/ProcessTable.h"

namespace platform::proctext {

// The value of a "key: number" line (io).
std::optional<uint64_t> fieldValue(std::string_view text, std::string_view key);
// RssAnon + RssShmem + VmSwap of status, in kB; 0 when none is there.
uint64_t footprintKilobytes(std::string_view text);
// Name, start time and CPU ticks of stat into record; whether it is a kernel thread.
bool parseStat(std::string_view text, ProcessRecord& record, bool& kernelThread);

}  // namespace platform::proctext

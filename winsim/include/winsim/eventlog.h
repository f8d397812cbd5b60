// Test-side view of the simulated event log: what ReportEventW wrote, and the event source
// handles still open.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace winsim {

// The longest insertion string ReportEventW accepts, in UTF-16 units.
inline constexpr size_t kMaxEventString = 31839;

struct EventRecord {
    std::u16string log;     // "Application": no source is registered to another log
    std::u16string source;  // as given to RegisterEventSourceW
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    std::vector<std::u16string> strings;
    std::string data;  // raw data bytes
    uint64_t time = 0;  // virtual clock
};

// Every event written since Reset, oldest first.
const std::vector<EventRecord>& Events();
// Event source handles from RegisterEventSourceW not yet passed to DeregisterEventSource.
size_t OpenEventSources();

}  // namespace winsim

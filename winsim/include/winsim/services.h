// Test-side control of the simulated Service Control Manager. The machine has the service
// "spooler"; its behaviour can be scripted.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace winsim {

inline constexpr char16_t kComputerName[] = u"WINSIM-PC";

struct ServiceScript {
    // Status queries after a stop control before the service reports SERVICE_STOPPED
    // (0: stopped at once); likewise for a start. Negative: never gets there.
    // With k > 0 the first k QueryServiceStatus calls report the pending state and the
    // (k+1)th reports the final one. The script is checked when the control is sent.
    int pollsToStop = 0;
    int pollsToStart = 0;
    DWORD startError = 0;    // StartServiceW fails with this (0: normal behaviour)
    DWORD controlError = 0;  // ControlService(STOP) fails with this (0: normal behaviour)
    DWORD openError = 0;     // OpenServiceW fails with this
};

// An unknown name creates a stopped, non-auto-start service of that name.
ServiceScript& ScriptService(std::u16string_view name);
void SetServiceState(std::u16string_view name, DWORD state);  // SERVICE_RUNNING, SERVICE_STOPPED, ...
DWORD ServiceState(std::u16string_view name);
bool IsServiceRunning(std::u16string_view name);
// Number of times the service went from stopped to running / running to stopped since Reset.
int ServiceStarts(std::u16string_view name);
int ServiceStops(std::u16string_view name);
// Called whenever a service's state changes (name, new state), pending states included,
// also for SetServiceState; not at SimulateReboot. Register once (static), not per Reset.
void OnServiceStateChange(std::function<void(std::u16string_view name, DWORD state)> listener);

// SC handles (manager and service) the code under test has open.
size_t OpenServiceHandles();

}  // namespace winsim

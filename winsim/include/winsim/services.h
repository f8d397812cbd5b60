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
    // Virtual milliseconds a stop (after the control) or a start takes; 0: at once, negative:
    // never. Meanwhile the service reports the pending state; the transition ends when the
    // clock (Sleep, AdvanceClock) reaches it, however often the status is queried.
    int msToStop = 0;
    int msToStart = 0;
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

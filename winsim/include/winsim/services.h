// Test-side control of the simulated Service Control Manager. The machine has the service
// "spooler"; its behaviour can be scripted.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace winsim {

struct ServiceScript {
    // Status queries after a stop control before the service reports SERVICE_STOPPED
    // (0: stopped at once); likewise for a start. Negative: never gets there.
    int pollsToStop = 0;
    int pollsToStart = 0;
    DWORD startError = 0;    // StartServiceW fails with this (0: normal behaviour)
    DWORD controlError = 0;  // ControlService(STOP) fails with this (0: normal behaviour)
    DWORD openError = 0;     // OpenServiceW fails with this
};

ServiceScript& ScriptService(std::u16string_view name);
void SetServiceState(std::u16string_view name, DWORD state);  // SERVICE_RUNNING, SERVICE_STOPPED, ...
DWORD ServiceState(std::u16string_view name);
bool IsServiceRunning(std::u16string_view name);
// Number of times the service went from stopped to running / running to stopped since Reset.
int ServiceStarts(std::u16string_view name);
int ServiceStops(std::u16string_view name);
// Called whenever a service's state changes (name, new state).
void OnServiceStateChange(std::function<void(std::u16string_view name, DWORD state)> listener);

}  // namespace winsim

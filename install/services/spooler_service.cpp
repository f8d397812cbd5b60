// The "spooler" service: start-up check, bounded start and the stop/start bracket.
#include "services/spooler_service.h"

#include <winsvc.h>

#include "run/install_context.h"

namespace {

const DWORD kManagerRights = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;
const DWORD kCheckRights = SERVICE_QUERY_STATUS | SERVICE_START;
const DWORD kRestartRights = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;
const int kPolls = 50;
const DWORD kPollMs = 200;
LPCWSTR const kSpoolerName = TEXT("spooler");

}  // namespace

// The error line describes the last call that failed, not what a later successful poll left.
bool StartSpoolerAndWait(SC_HANDLE service) {
    DWORD failure = ERROR_SUCCESS;
    // Fails harmlessly when already running; the code still says why a start did not happen.
    if (!StartServiceW(service, 0, nullptr)) failure = GetLastError();
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status)) failure = GetLastError();
    for (int poll = 0; poll < kPolls; ++poll) {
        if (status.dwCurrentState == SERVICE_RUNNING) return true;
        // A stop still pending refused the earlier start; once it is over, start again.
        if (status.dwCurrentState == SERVICE_STOPPED && !StartServiceW(service, 0, nullptr)) failure = GetLastError();
        Sleep(kPollMs);
        // A failed query keeps the previous state.
        if (!QueryServiceStatus(service, &status)) failure = GetLastError();
    }
    if (status.dwCurrentState == SERVICE_RUNNING) return true;
    SetLastError(failure);
    return false;
}

bool CheckSpooler(InstallContext& ctx) {
    LogSection section(ctx, ">Check Spooler");
    OwnedService manager(OpenSCManagerW(nullptr, nullptr, kManagerRights));
    if (!manager) {
        LogError(ctx, kErrOpenServiceManager, "Can't open service manager.");
        return false;
    }
    OwnedService service(OpenServiceW(manager.get(), kSpoolerName, kCheckRights));
    if (!service) {
        LogError(ctx, kErrOpenSpooler, "Can't open the spooler");
        return false;
    }
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.get(), &status) || status.dwCurrentState == SERVICE_RUNNING) return true;
    if (StartSpoolerAndWait(service.get())) return true;
    LogError(ctx, kErrStartSpooler, "Can't start the spooler");
    return false;
}

void BeginSpoolerRestart(SpoolerRestart& restart, InstallContext* ctx) {
    if (ctx != nullptr) LogPrint(*ctx, ">Restart Spooler");
    restart.context = ctx;
    restart.stopRequested = 0;
    restart.serviceManager.reset(OpenSCManagerW(nullptr, nullptr, kManagerRights));
    if (!restart.serviceManager) {
        if (ctx != nullptr) LogError(*ctx, kErrOpenServiceManager, "Can't open service manager.");
        return;
    }
    restart.spoolerService.reset(OpenServiceW(restart.serviceManager.get(), kSpoolerName, kRestartRights));
    if (!restart.spoolerService) {
        if (ctx != nullptr) LogError(*ctx, kErrOpenSpooler, "Can't open the spooler");
        return;
    }
    SC_HANDLE service = restart.spoolerService.get();
    SERVICE_STATUS status = {};
    DWORD failure = ERROR_SUCCESS;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        DWORD code = GetLastError();
        failure = code;
        // Refused because a stop is already under way (or over): the wait below sees it end.
        bool stopping = code == ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                        (status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED);
        if (code != ERROR_SERVICE_NOT_ACTIVE && !stopping && ctx != nullptr)
            LogError(*ctx, kErrControlService, "ControlService failed with code %d (0x%x)", code, code);
    }
    restart.stopRequested = 1;
    status = SERVICE_STATUS{};
    if (!QueryServiceStatus(service, &status)) failure = GetLastError();
    for (int poll = 0; poll < kPolls; ++poll) {
        if (status.dwCurrentState == SERVICE_STOPPED) return;
        Sleep(kPollMs);
        if (!QueryServiceStatus(service, &status)) failure = GetLastError();
    }
    if (status.dwCurrentState != SERVICE_STOPPED && ctx != nullptr) {
        SetLastError(failure);
        LogError(*ctx, kErrStopSpooler, "Can't stop the spooler");
    }
}

void EndSpoolerRestart(SpoolerRestart& restart) {
    if (restart.spoolerService) {
        if (restart.stopRequested && !StartSpoolerAndWait(restart.spoolerService.get()) && restart.context != nullptr)
            LogError(*restart.context, kErrStartSpooler, "Can't start the spooler");
        restart.spoolerService.reset();
    }
    restart.serviceManager.reset();
}

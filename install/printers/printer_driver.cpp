// The product's printer driver: staging, registration, removal, enumeration and lookup.
#include "printers/printer_driver.h"

#include "run/install_context.h"
#include "run/text_compare.h"
#include "run/two_call_query.h"
#include "services/file_copy.h"
#include "services/pending_files.h"
#include "services/spooler_service.h"

namespace {

const DWORD kDriverVersion = 3;
const WCHAR kMaker[] = TEXT("Corvane Software Kft.");
const WCHAR kProductUrl[] = TEXT("https://www.corvane-software.example/quillgraph/");

// The name of record `index` in the layout of `level`; null for an unknown level.
LPCWSTR DriverName(const DriverEnum& drivers, DWORD index) {
    const BYTE* block = drivers.drivers;
    switch (drivers.level) {
        case 1: return reinterpret_cast<const DRIVER_INFO_1W*>(block)[index].pName;
        case 2: return reinterpret_cast<const DRIVER_INFO_2W*>(block)[index].pName;
        case 3: return reinterpret_cast<const DRIVER_INFO_3W*>(block)[index].pName;
        case 4: return reinterpret_cast<const DRIVER_INFO_4W*>(block)[index].pName;
        case 5: return reinterpret_cast<const DRIVER_INFO_5W*>(block)[index].pName;
        case 6: return reinterpret_cast<const DRIVER_INFO_6W*>(block)[index].pName;
        default: return nullptr;
    }
}

// Only a staged file's full path: a bare name would reach into the current directory.
void DeleteStagedFile(InstallContext& ctx, LPCWSTR path) {
    if (IsFullPath(path) && !DeleteFileW(path)) PathListAdd(ctx.pendingDeletes, path);
}

bool DeleteDriver(InstallContext& ctx) {
    return DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(ctx.environment),
                                  const_cast<LPWSTR>(kProductDriverName), DPD_DELETE_ALL_FILES, 0) != FALSE;
}

}  // namespace

void EnumerateDrivers(DriverEnum& drivers, LPCWSTR environment) {
    drivers.level = 6;
    drivers.drivers = nullptr;
    drivers.driverCount = 0;
    drivers.error = 0;
    struct Query {
        LPWSTR environment;
        DWORD* count;
    } query = {const_cast<LPWSTR>(environment), &drivers.driverCount};
    QueryCall call = [](void* context, LPBYTE buffer, DWORD size, DWORD* needed) -> BOOL {
        Query* q = static_cast<Query*>(context);
        return EnumPrinterDriversW(nullptr, q->environment, 6, buffer, size, needed, q->count);
    };
    QueryAnswer answer;
    QueryResult result = QueryTwice(answer, call, &query);
    if (result == QueryResult::AnsweredEmpty) return;
    if (result == QueryResult::Filled) {
        drivers.drivers = answer.block.release();
        return;
    }
    drivers.driverCount = 0;
    drivers.error = GetLastError();
}

void ReleaseDrivers(DriverEnum& drivers) {
    if (drivers.drivers) GlobalFree(drivers.drivers);
    drivers.drivers = nullptr;
    drivers.driverCount = 0;
}

int FindProductDriver(const DriverEnum& drivers) {
    if (drivers.driverCount == 0 || drivers.drivers == nullptr) return -1;
    for (DWORD i = 0; i < drivers.driverCount; ++i) {
        if (SameText(DriverName(drivers, i), kProductDriverName)) return static_cast<int>(i);
    }
    return -1;
}

bool TryAddDriver(DRIVER_INFO_6W& info) {
    return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES) != FALSE;
}

void AddProductDriver(InstallContext& ctx) {
    LogSection section(ctx, ">Add Printer Driver");
    WCHAR driverPath[MAX_PATH] = {0};
    WCHAR uiPath[MAX_PATH] = {0};
    WCHAR helpPath[MAX_PATH] = {0};
    LPCWSTR dir = TextOf(ctx.driverDir);
    if (CopyFileToDir(ctx, dir, ctx.driverFile, driverPath, MAX_PATH, true) != S_OK ||
        CopyFileToDir(ctx, dir, ctx.uiFile, uiPath, MAX_PATH, true) != S_OK)
        return;
    if (CopyFileToDir(ctx, dir, ctx.helpFile, helpPath, MAX_PATH, true) != S_OK) helpPath[0] = 0;

    DRIVER_INFO_6W info = {};
    info.cVersion = kDriverVersion;
    info.pName = const_cast<LPWSTR>(kProductDriverName);
    info.pEnvironment = const_cast<LPWSTR>(ctx.environment);
    info.pDriverPath = driverPath;
    info.pDataFile = driverPath;
    info.pConfigFile = uiPath;
    info.pHelpFile = helpPath;
    info.pszMfgName = const_cast<LPWSTR>(kMaker);
    info.pszOEMUrl = const_cast<LPWSTR>(kProductUrl);
    info.pszProvider = const_cast<LPWSTR>(kMaker);
    if (TryAddDriver(info))
        LogPrint(ctx, "OK :)");
    else
        LogError(ctx, kErrInstallDriver, "Can`t install a printer driver 'Quillgraph Server'");

    // The spooler has its own copies now; the staged ones go.
    DeleteStagedFile(ctx, driverPath);
    DeleteStagedFile(ctx, uiPath);
    DeleteStagedFile(ctx, helpPath);
}

void DeleteProductDriver(InstallContext& ctx, DriverEnum& drivers) {
    LogSection section(ctx, ">DeletePrinterDriver for %s", ctx.environment);
    if (drivers.driverCount != 0) {
        LogPrint(ctx, "------------ %d existing drivers-----------", static_cast<int>(drivers.driverCount));
        for (DWORD i = 0; drivers.drivers != nullptr && i < drivers.driverCount; ++i) {
            LPCWSTR name = DriverName(drivers, i);
            LogPrint(ctx, "%d. %s", static_cast<int>(i + 1), name != nullptr ? name : TEXT("***EMPTY***"));
        }
        LogPrint(ctx, "-------------------------------------------");
    } else {
        LogPrint(ctx, "BTW, there is no printer drivers on this system.");
    }
    int index = FindProductDriver(drivers);
    // Without a list the driver may still be there: only the spooler's answer to the deletion
    // tells.
    if (index < 0 && drivers.error == 0) {
        LogPrint(ctx, "No Quillgraph driver was found");
        return;
    }
    if (index >= 0) LogPrint(ctx, "Driver is found. Index=%d", index + 1);
    if (DeleteDriver(ctx)) {
        LogPrint(ctx, "OK :)");
        return;
    }
    if (index < 0 && GetLastError() == ERROR_UNKNOWN_PRINTER_DRIVER) {
        LogPrint(ctx, "No Quillgraph driver was found");
        return;
    }
    LogPrint(ctx, "Can't delete driver. Trying to restart spooler");
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EndSpoolerRestart(restart);
    if (DeleteDriver(ctx))
        LogPrint(ctx, "OK :)");
    else
        LogError(ctx, kErrRemoveDriver, "Can`t remove the printer-driver 'Quillgraph Server'");
}

DRIVER_INFO_2W* QueryPrinterDriverInfo(HANDLE printer) {
    QueryCall call = [](void* handle, LPBYTE buffer, DWORD size, DWORD* needed) -> BOOL {
        return GetPrinterDriverW(handle, const_cast<LPWSTR>(kEnvironmentX64), 2, buffer, size, needed);
    };
    QueryAnswer answer;
    QueryResult result = QueryTwice(answer, call, printer);
    if (result != QueryResult::Filled) return nullptr;
    return reinterpret_cast<DRIVER_INFO_2W*>(answer.block.release());
}

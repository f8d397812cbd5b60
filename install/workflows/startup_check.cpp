// The start-up check: are the product's 64-bit files still waiting for a reboot?
#include "workflows/startup_check.h"

#include <windows.h>

#include "run/text_compare.h"
#include "services/pending_files.h"
#include "services/spooler_service.h"

namespace {

const int kAttempts = 2;
const LPCWSTR kProductFiles[] = {TEXT("vmqmon64.dll"), TEXT("vmqdrv64.dll"), TEXT("vmqui64.dll")};

bool ProductFileWaiting(const PendingRenameTable& table) {
    for (LPCWSTR productFile : kProductFiles) {
        for (int pair = 0; pair < table.pairCount; ++pair) {
            LPCWSTR source = table.paths[2 * pair];
            if (table.isFile[2 * pair] == 1 && source &&
                SameTextIgnoringAsciiCase(FileNamePart(StripNtPrefix(source)), productFile)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool StartupCheck(bool mayChange) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        PendingRenameTable table;
        ReadPendingRenames(table);
        if (mayChange) DeleteScheduledFilesNow(table);
        bool waiting = ProductFileWaiting(table);
        FreePendingRenames(table);
        if (!waiting || !mayChange) return waiting;
        SpoolerRestart restart;
        BeginSpoolerRestart(restart, NULL);
        EndSpoolerRestart(restart);
    }
    return true;
}

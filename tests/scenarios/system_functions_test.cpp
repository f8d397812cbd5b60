// The spooler and version functions come from the system directory, bound before anything else:
// an install or uninstall without them changes nothing, and DLLs beside install.exe are ignored.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/spooler.h>

#include <string>

#include "scenarios/scenario_support.h"

namespace {

using namespace qgrtest;

TEST(SystemFunctions, AnInstallOrUninstallWithoutThemChangesNothing) {
    struct Case {
        const char16_t* command;
        int skippedLoads;  // version.dll is loaded first, then winspool.drv
    };
    for (const Case& c : {Case{u"in", 0}, Case{u"un", 1}}) {
        SCOPED_TRACE(Utf8(c.command));
        SetUpScenarioMachine();
        winsim::InjectFault("LoadLibraryExW", ERROR_MOD_NOT_FOUND, 1, c.skippedLoads);
        EXPECT_EQ(RunInstaller(c.command), 100);
        // Neither the run's turn nor the spooler nor any file was asked for.
        for (const char* api : {"CreateMutexA", "OpenSCManagerW", "EnumMonitorsW", "CreateFileW"})
            EXPECT_EQ(winsim::CallCount(api), 0u) << api;
        ExpectAllBlocksReleased();
    }
}

TEST(SystemFunctions, DllsBesideTheInstallerAreNeverLoaded) {
    SetUpScenarioMachine();
    winsim::WriteTestFile(ModuleFile(u"winspool.drv"), "planted");
    winsim::WriteTestFile(ModuleFile(u"version.dll"), "planted");
    EXPECT_EQ(RunInstaller(u"in"), 1);
    EXPECT_TRUE(winsim::MonitorExists(kProductPort));
}

}  // namespace

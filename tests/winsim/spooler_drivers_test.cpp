// The simulated spooler's printer drivers: staging of the driver files into the version
// folder, refusals, enumeration blocks, removal of the files, the driver directory.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>

#include <string>
#include <vector>

namespace {

const std::u16string kX64 = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64";
const std::u16string kX86 = u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86";

class SpoolerDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        winsim::Reset();
        winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
    }

    // Stages drv/ui/help beside each other in `dir` and adds the driver at level 6.
    BOOL AddDriver(const std::u16string& dir, const char16_t* env, bool withHelp = true,
                   const std::u16string& name = u"Quillgraph Server") {
        drv = dir + u"\\vmqdrv64.dll";
        ui = dir + u"\\vmqui64.dll";
        help = withHelp ? dir + u"\\vmqhelp.chm" : u"";
        winsim::WriteTestFile(drv, "driver");
        winsim::WriteTestFile(ui, "ui");
        // The code files are images of the environment's machine.
        winsim::Machine machine =
            env && std::u16string_view(env) == u"Windows NT x86" ? winsim::Machine::X86 : winsim::Machine::X64;
        winsim::SetFileMachine(drv, machine);
        winsim::SetFileMachine(ui, machine);
        if (withHelp) winsim::WriteTestFile(help, "help");
        std::u16string n = name, e = env ? env : u"", mfg = u"Corvane Software Kft.";
        DRIVER_INFO_6W info{};
        info.cVersion = 3;
        info.pName = n.data();
        info.pEnvironment = env ? e.data() : nullptr;
        info.pDriverPath = drv.data();
        info.pDataFile = drv.data();
        info.pConfigFile = ui.data();
        info.pHelpFile = help.data();
        info.pszMfgName = mfg.data();
        info.pszProvider = mfg.data();
        return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES);
    }

    void AddPrinterUsing(const char16_t* driver) {
        winsim::SpoolPrinter p;
        p.name = u"qgrServer";
        p.driverName = driver;
        p.portName = u"FILE:";
        winsim::AddTestPrinter(p);
    }

    std::u16string drv, ui, help;
};

TEST_F(SpoolerDriverTest, DriverDirectoryForBothEnvironments) {
    struct Case {
        const char16_t* env;
        std::u16string dir;
    };
    for (const Case& c : {Case{u"Windows x64", kX64}, Case{u"Windows NT x86", kX86}, Case{nullptr, kX64}}) {
        DWORD needed = 0;
        std::u16string env = c.env ? c.env : u"";
        LPWSTR envArg = c.env ? env.data() : nullptr;
        EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, envArg, 1, nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_EQ(needed, (c.dir.size() + 1) * 2);
        std::vector<char16_t> buf(needed / 2, u'?');
        EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, envArg, 1, reinterpret_cast<LPBYTE>(buf.data()),
                                                needed - 1, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, envArg, 1, reinterpret_cast<LPBYTE>(buf.data()), needed,
                                               &needed));
        EXPECT_EQ(std::u16string(buf.data()), c.dir);
    }
    DWORD needed = 0;
    EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(u"Windows 4.0"), 1, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
    EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(SpoolerDriverTest, AddDriverCopiesFilesIntoTheVersionFolder) {
    ASSERT_TRUE(AddDriver(kX64, u"Windows x64"));
    EXPECT_EQ(winsim::FileBytes(kX64 + u"\\3\\vmqdrv64.dll"), "driver");
    EXPECT_EQ(winsim::FileBytes(kX64 + u"\\3\\vmqui64.dll"), "ui");
    EXPECT_EQ(winsim::FileBytes(kX64 + u"\\3\\vmqhelp.chm"), "help");
    auto d = winsim::FindDriver(u"Quillgraph Server", winsim::kEnvX64);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->environment, u"Windows x64");
    EXPECT_EQ(d->version, 3u);
    EXPECT_EQ(d->driverPath, kX64 + u"\\3\\vmqdrv64.dll");
    EXPECT_EQ(d->dataFile, kX64 + u"\\3\\vmqdrv64.dll");
    EXPECT_EQ(d->configFile, kX64 + u"\\3\\vmqui64.dll");
    EXPECT_EQ(d->helpFile, kX64 + u"\\3\\vmqhelp.chm");
    EXPECT_EQ(d->mfgName, u"Corvane Software Kft.");
    EXPECT_TRUE(winsim::Drivers(winsim::kEnvX86).empty());

    // The x86 environment has its own directory; an empty help file means none.
    ASSERT_TRUE(AddDriver(kX86, u"Windows NT x86", false));
    auto x86 = winsim::FindDriver(u"Quillgraph Server", winsim::kEnvX86);
    ASSERT_TRUE(x86);
    EXPECT_EQ(x86->driverPath, kX86 + u"\\3\\vmqdrv64.dll");
    EXPECT_EQ(x86->helpFile, u"");
    EXPECT_FALSE(winsim::FileExists(kX86 + u"\\3\\vmqhelp.chm"));
}

TEST_F(SpoolerDriverTest, MissingSourceFileInstallsNothing) {
    std::u16string dir = u"C:\\stage";
    winsim::WriteTestFile(dir + u"\\vmqdrv64.dll", "driver");
    std::u16string n = u"Quillgraph Server", d = dir + u"\\vmqdrv64.dll", u = dir + u"\\missing.dll";
    DRIVER_INFO_6W info{};
    info.cVersion = 3;
    info.pName = n.data();
    info.pDriverPath = d.data();
    info.pDataFile = d.data();
    info.pConfigFile = u.data();
    EXPECT_FALSE(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(winsim::FileExists(kX64 + u"\\3\\vmqdrv64.dll"));
    EXPECT_TRUE(winsim::Drivers().empty());

    // Required members and the environment are checked too.
    info.pConfigFile = nullptr;
    EXPECT_FALSE(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(AddDriver(dir, u"Windows IA64"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
    EXPECT_FALSE(AddPrinterDriverExW(nullptr, 5, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

// What the spooler refuses, one fault at a time from a driver it takes: kernel-mode and unknown
// versions, code files of another machine, files outside the driver directory, a directory
// flag without a copy mode. A refusal installs nothing, and the call record keeps what the
// caller passed.
TEST_F(SpoolerDriverTest, RefusedDriversInstallNothing) {
    struct Case {
        const char* what;
        DWORD version;
        const char16_t* env;
        winsim::Machine driverMachine, uiMachine;
        bool staged;  // files in the environment's driver directory, else in C:\stage
        DWORD flags;
        DWORD error;  // 0: accepted
    };
    using M = winsim::Machine;
    const DWORD all = APD_COPY_ALL_FILES, fromDir = APD_COPY_FROM_DIRECTORY;
    const Case cases[] = {
        {"version 3", 3, u"Windows x64", M::X64, M::X64, true, all, 0},
        {"kernel-mode", 2, u"Windows x64", M::X64, M::X64, true, all, ERROR_KM_DRIVER_BLOCKED},
        {"kernel-mode x86", 2, u"Windows NT x86", M::X86, M::X86, true, all, ERROR_KM_DRIVER_BLOCKED},
        {"version 0", 0, u"Windows x64", M::X64, M::X64, true, all, ERROR_INVALID_PARAMETER},
        {"version 4", 4, u"Windows x64", M::X64, M::X64, true, all, ERROR_PRINTER_DRIVER_BLOCKED},
        {"x86 driver for x64", 3, u"Windows x64", M::X86, M::X64, true, all, ERROR_BAD_EXE_FORMAT},
        {"x64 ui for x86", 3, u"Windows NT x86", M::X86, M::X64, true, all, ERROR_BAD_EXE_FORMAT},
        {"no image", 3, u"Windows x64", M::None, M::X64, true, all, ERROR_BAD_EXE_FORMAT},
        {"x86 for x86", 3, u"Windows NT x86", M::X86, M::X86, true, all, 0},
        {"outside", 3, u"Windows x64", M::X64, M::X64, false, all, ERROR_FILE_NOT_FOUND},
        {"outside from dir", 3, u"Windows x64", M::X64, M::X64, false, fromDir | all, 0},
        {"from dir alone", 3, u"Windows x64", M::X64, M::X64, false, fromDir, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        winsim::Reset();
        std::u16string env = c.env;
        std::u16string dir = c.staged ? winsim::DriverDirectory(env) : u"C:\\stage";
        std::u16string d = dir + u"\\qdrv.dll", u = dir + u"\\qui.dll", h = dir + u"\\qhelp.chm";
        std::u16string n = u"Quillgraph Server";
        winsim::WriteTestFile(d, "driver");
        winsim::SetFileMachine(d, c.driverMachine);
        winsim::WriteTestFile(u, "ui");
        winsim::SetFileMachine(u, c.uiMachine);
        winsim::WriteTestFile(h, "help");
        DRIVER_INFO_6W info{};
        info.cVersion = c.version;
        info.pName = n.data();
        info.pEnvironment = env.data();
        info.pDriverPath = d.data();
        info.pDataFile = d.data();
        info.pConfigFile = u.data();
        info.pHelpFile = h.data();
        winsim::ClearCalls();
        BOOL ok = AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), c.flags);
        ASSERT_EQ(winsim::Calls().size(), 1u);
        const std::u16string& args = winsim::Calls()[0].args;
        EXPECT_NE(args.find(u",v" + winsim::ToU16(std::to_string(c.version)) + u"," + d + u"," + d + u"," + u +
                            u"," + h + u","),
                  std::u16string::npos)
            << winsim::ToUtf8(args);
        std::u16string installed = winsim::DriverDirectory(env) + u"\\3\\qdrv.dll";
        if (c.error == 0) {
            EXPECT_TRUE(ok);
            auto drv = winsim::FindDriver(n, env);
            ASSERT_TRUE(drv);
            EXPECT_EQ(drv->version, 3u);
            EXPECT_EQ(drv->driverPath, installed);
            EXPECT_EQ(winsim::FileMachine(installed), c.driverMachine) << "the copy is the same image";
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_FALSE(winsim::FindDriver(n, env));
            EXPECT_FALSE(winsim::FileExists(installed));
        }
    }
}

// APD_COPY_ALL_FILES replaces every installed file; APD_COPY_NEW_FILES only those the staged
// file is newer than, and adds what is missing.
TEST_F(SpoolerDriverTest, CopyFlagsDecideWhichInstalledFilesAreReplaced) {
    for (DWORD flags : {DWORD{APD_COPY_ALL_FILES}, DWORD{APD_COPY_NEW_FILES}}) {
        SCOPED_TRACE(flags);
        winsim::Reset();
        ASSERT_TRUE(AddDriver(kX64, u"Windows x64"));
        winsim::SetProductVersion(kX64 + u"\\3\\vmqdrv64.dll", 1, 0, 0, 2430);
        winsim::SetProductVersion(kX64 + u"\\3\\vmqui64.dll", 1, 0, 0, 2420);
        winsim::RemoveTestFile(kX64 + u"\\3\\vmqhelp.chm");
        // Staged again: an older driver DLL, a newer UI DLL.
        winsim::WriteTestFile(drv, "older driver");
        winsim::SetFileMachine(drv, winsim::Machine::X64);
        winsim::SetProductVersion(drv, 1, 0, 0, 2416);
        winsim::WriteTestFile(ui, "newer ui");
        winsim::SetFileMachine(ui, winsim::Machine::X64);
        winsim::SetProductVersion(ui, 1, 0, 0, 2430);
        std::u16string n = u"Quillgraph Server", e = u"Windows x64";
        DRIVER_INFO_6W info{};
        info.cVersion = 3;
        info.pName = n.data();
        info.pEnvironment = e.data();
        info.pDriverPath = drv.data();
        info.pDataFile = drv.data();
        info.pConfigFile = ui.data();
        info.pHelpFile = help.data();
        ASSERT_TRUE(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), flags));
        EXPECT_EQ(winsim::FileBytes(kX64 + u"\\3\\vmqdrv64.dll"),
                  flags == APD_COPY_ALL_FILES ? "older driver" : "driver");
        EXPECT_EQ(winsim::FileBytes(kX64 + u"\\3\\vmqui64.dll"), "newer ui");
        EXPECT_EQ(winsim::FileBytes(kX64 + u"\\3\\vmqhelp.chm"), "help");
    }
}

TEST_F(SpoolerDriverTest, AddingAgainReplacesTheDriver) {
    ASSERT_TRUE(AddDriver(kX64, nullptr));
    winsim::WriteTestFile(u"C:\\new\\vmqdrv64.dll", "driver v2");
    winsim::SetFileMachine(u"C:\\new\\vmqdrv64.dll", winsim::Machine::X64);
    std::u16string n = u"QUILLGRAPH SERVER", d = u"C:\\new\\vmqdrv64.dll", ui2 = ui;
    DRIVER_INFO_6W info{};
    info.cVersion = 3;
    info.pName = n.data();
    info.pDriverPath = d.data();
    info.pDataFile = d.data();
    info.pConfigFile = ui2.data();
    // A file outside the driver directory is taken only with APD_COPY_FROM_DIRECTORY.
    EXPECT_FALSE(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(winsim::FileBytes(kX64 + u"\\3\\vmqdrv64.dll"), "driver");
    ASSERT_TRUE(AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info),
                                    APD_COPY_FROM_DIRECTORY | APD_COPY_ALL_FILES));
    auto drivers = winsim::Drivers();
    ASSERT_EQ(drivers.size(), 1u);
    EXPECT_EQ(drivers[0].name, u"Quillgraph Server");
    EXPECT_EQ(drivers[0].helpFile, u"");
    EXPECT_EQ(winsim::FileBytes(kX64 + u"\\3\\vmqdrv64.dll"), "driver v2");
}

TEST_F(SpoolerDriverTest, EnumDriversAtLevel6) {
    DWORD needed = 5, count = 5;
    ASSERT_TRUE(EnumPrinterDriversW(nullptr, nullptr, 6, nullptr, 0, &needed, &count));
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(AddDriver(kX64, u"Windows x64"));
    ASSERT_TRUE(AddDriver(kX64, u"Windows x64", true, u"Second Driver"));

    EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 6, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> packed(needed);
    EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 6, packed.data(), needed - 1, &needed, &count));
    ASSERT_TRUE(EnumPrinterDriversW(nullptr, nullptr, 6, packed.data(), needed, &needed, &count));
    ASSERT_EQ(count, 2u);
    auto* records = reinterpret_cast<DRIVER_INFO_6W*>(packed.data());
    EXPECT_EQ(std::u16string(records[0].pName), u"Quillgraph Server");
    EXPECT_EQ(std::u16string(records[1].pName), u"Second Driver");
    EXPECT_GE(reinterpret_cast<BYTE*>(records[0].pName), packed.data() + 2 * sizeof(DRIVER_INFO_6W));
    // Only level 6 is modelled for enumeration.
    for (DWORD level = 1; level <= 5; ++level) {
        EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, level, nullptr, 0, &needed, &count));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    }

    std::vector<BYTE> buf(4096);
    ASSERT_TRUE(EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(u"Windows x64"), 6, buf.data(), 4096, &needed,
                                    &count));
    auto* d6 = reinterpret_cast<DRIVER_INFO_6W*>(buf.data());
    EXPECT_EQ(d6->cVersion, 3u);
    EXPECT_EQ(std::u16string(d6->pEnvironment), u"Windows x64");
    EXPECT_EQ(std::u16string(d6->pConfigFile), kX64 + u"\\3\\vmqui64.dll");
    EXPECT_EQ(std::u16string(d6->pszProvider), u"Corvane Software Kft.");
    EXPECT_EQ(d6->pDependentFiles, nullptr);
    EXPECT_EQ(d6->pMonitorName, nullptr);
    EXPECT_EQ(d6->pszOEMUrl, nullptr);

    EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 7, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_FALSE(EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(u"Windows NT"), 6, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
}

TEST_F(SpoolerDriverTest, DeleteDriverRefusalsAndFileRemoval) {
    LPWSTR name = const_cast<LPWSTR>(u"Quillgraph Server");
    LPWSTR x64 = const_cast<LPWSTR>(u"Windows x64");
    LPWSTR x86 = const_cast<LPWSTR>(u"Windows NT x86");
    EXPECT_FALSE(DeletePrinterDriverExW(nullptr, x64, name, DPD_DELETE_ALL_FILES, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));

    ASSERT_TRUE(AddDriver(kX64, u"Windows x64"));
    ASSERT_TRUE(AddDriver(kX86, u"Windows NT x86"));
    AddPrinterUsing(u"Quillgraph Server");
    EXPECT_FALSE(DeletePrinterDriverExW(nullptr, x64, name, DPD_DELETE_ALL_FILES, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
    EXPECT_TRUE(winsim::FileExists(kX64 + u"\\3\\vmqdrv64.dll"));
    // The other environment's driver serves clients only and is not in use here.
    EXPECT_TRUE(DeletePrinterDriverExW(nullptr, x86, name, DPD_DELETE_ALL_FILES, 0));
    EXPECT_FALSE(winsim::FileExists(kX86 + u"\\3\\vmqdrv64.dll"));

    AddPrinterUsing(u"Other Driver");  // same printer, now on another driver
    ASSERT_TRUE(DeletePrinterDriverExW(nullptr, x64, name, DPD_DELETE_ALL_FILES, 0));
    EXPECT_FALSE(winsim::FindDriver(u"Quillgraph Server"));
    EXPECT_FALSE(winsim::FileExists(kX64 + u"\\3\\vmqdrv64.dll"));
    EXPECT_FALSE(winsim::FileExists(kX64 + u"\\3\\vmqui64.dll"));
    EXPECT_FALSE(winsim::FileExists(kX64 + u"\\3\\vmqhelp.chm"));
    // The staged sources are the caller's business.
    EXPECT_TRUE(winsim::FileExists(kX64 + u"\\vmqdrv64.dll"));
}

TEST_F(SpoolerDriverTest, DeleteDriverWithoutFileFlagKeepsFiles) {
    ASSERT_TRUE(AddDriver(kX64, nullptr));
    ASSERT_TRUE(DeletePrinterDriverExW(nullptr, nullptr, const_cast<LPWSTR>(u"Quillgraph Server"), 0, 0));
    EXPECT_TRUE(winsim::Drivers().empty());
    EXPECT_TRUE(winsim::FileExists(kX64 + u"\\3\\vmqdrv64.dll"));
}

TEST_F(SpoolerDriverTest, LoadedDriverFileIsMovedAsideAndDeletedAtReboot) {
    ASSERT_TRUE(AddDriver(kX64, nullptr));
    std::u16string ui3 = kX64 + u"\\3\\vmqui64.dll";
    int hold = winsim::HoldFile(ui3, FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(DeletePrinterDriverExW(nullptr, nullptr, const_cast<LPWSTR>(u"Quillgraph Server"),
                                       DPD_DELETE_ALL_FILES, 0));
    EXPECT_FALSE(winsim::FileExists(ui3));
    auto moved = winsim::FilesUnder(kX64 + u"\\3\\Old");
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(winsim::FileBytes(moved[0]), "ui");
    auto pending = winsim::PendingRenameStrings();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0], u"\\??\\" + moved[0]);
    EXPECT_EQ(pending[1], u"");
    winsim::ReleaseHold(hold);
    winsim::SimulateReboot();
    EXPECT_FALSE(winsim::FileExists(moved[0]));
}

TEST_F(SpoolerDriverTest, GetPrinterDriverReadsThePrintersDriverPerEnvironment) {
    ASSERT_TRUE(AddDriver(kX64, u"Windows x64"));
    AddPrinterUsing(u"Quillgraph Server");
    HANDLE h = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"qgrServer"), &h, nullptr));
    DWORD needed = 0;
    LPWSTR x64 = const_cast<LPWSTR>(u"Windows x64");
    EXPECT_FALSE(GetPrinterDriverW(h, x64, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buf(needed);
    EXPECT_FALSE(GetPrinterDriverW(h, x64, 2, buf.data(), needed - 1, &needed));
    ASSERT_TRUE(GetPrinterDriverW(h, x64, 2, buf.data(), needed, &needed));
    auto* d2 = reinterpret_cast<DRIVER_INFO_2W*>(buf.data());
    EXPECT_EQ(std::u16string(d2->pDriverPath), kX64 + u"\\3\\vmqdrv64.dll");
    EXPECT_EQ(std::u16string(d2->pEnvironment), u"Windows x64");

    EXPECT_FALSE(GetPrinterDriverW(h, const_cast<LPWSTR>(u"Windows NT x86"), 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
    ASSERT_TRUE(AddDriver(kX86, u"Windows NT x86"));
    EXPECT_FALSE(GetPrinterDriverW(h, const_cast<LPWSTR>(u"Windows NT x86"), 6, nullptr, 0, &needed));
    std::vector<BYTE> buf6(needed);
    ASSERT_TRUE(GetPrinterDriverW(h, const_cast<LPWSTR>(u"Windows NT x86"), 6, buf6.data(), needed, &needed));
    EXPECT_EQ(std::u16string(reinterpret_cast<DRIVER_INFO_6W*>(buf6.data())->pHelpFile),
              kX86 + u"\\3\\vmqhelp.chm");
    EXPECT_FALSE(GetPrinterDriverW(h, x64, 3, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_TRUE(ClosePrinter(h));

    EXPECT_FALSE(GetPrinterDriverW(h, x64, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace

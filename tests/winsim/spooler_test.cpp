// The simulated spooler: the machine after a reset, port monitors and their ports, the
// monitor DLL held across spooler stops and starts, refusals while the spooler is stopped.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using winsim::kDefaultSystemDir;

const std::u16string kMonDll = u"vmqmon64.dll";
const std::u16string kMonPath = std::u16string(kDefaultSystemDir) + u"\\vmqmon64.dll";

class SpoolerTest : public ::testing::Test {
protected:
    void SetUp() override {
        winsim::Reset();
        winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
    }

    BOOL AddMonitor(const char16_t* name, const char16_t* dll, const char16_t* env = u"Windows x64", DWORD level = 2) {
        std::u16string n(name), d(dll), e(env ? env : u"");
        MONITOR_INFO_2W info{n.data(), env ? e.data() : nullptr, d.data()};
        return AddMonitorW(nullptr, level, reinterpret_cast<LPBYTE>(&info));
    }

    // Installs the product-like monitor whose DLL provides one port.
    void InstallProductMonitor() {
        winsim::WriteTestFile(kMonPath, "MZ monitor");
        winsim::SetFileMachine(kMonPath, winsim::Machine::X64);
        winsim::SetMonitorDllPorts(kMonDll, {u"QuillgraphServer:"});
        ASSERT_TRUE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str()));
    }

    static void StopSpooler() { winsim::SetServiceState(u"spooler", SERVICE_STOPPED); }
    static void StartSpooler() { winsim::SetServiceState(u"spooler", SERVICE_RUNNING); }
};

bool Inside(const void* p, const std::vector<BYTE>& buf) {
    auto b = reinterpret_cast<const BYTE*>(p);
    return b >= buf.data() && b < buf.data() + buf.size();
}

TEST_F(SpoolerTest, FreshMachineHasBuiltInMonitorsPortsAndDriverDirectories) {
    auto monitors = winsim::Monitors();
    ASSERT_EQ(monitors.size(), 2u);
    EXPECT_EQ(monitors[0].name, u"Local Port");
    EXPECT_EQ(monitors[0].dll, u"localspl.dll");
    EXPECT_EQ(monitors[1].name, u"Standard TCP/IP Port");
    EXPECT_EQ(monitors[1].dll, u"tcpmon.dll");
    EXPECT_TRUE(winsim::FileExists(std::u16string(kDefaultSystemDir) + u"\\localspl.dll"));
    EXPECT_TRUE(winsim::FileExists(std::u16string(kDefaultSystemDir) + u"\\tcpmon.dll"));
    EXPECT_EQ(winsim::Ports(), (std::vector<std::u16string>{u"FILE:", u"LPT1:", u"COM1:"}));
    EXPECT_TRUE(winsim::PortExists(u"file:"));
    EXPECT_FALSE(winsim::PortExists(u"QuillgraphServer:"));
    EXPECT_TRUE(winsim::DirectoryExists(u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3"));
    EXPECT_TRUE(winsim::DirectoryExists(u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\3"));
    EXPECT_TRUE(winsim::Drivers(winsim::kEnvX64).empty());
    EXPECT_TRUE(winsim::Drivers(winsim::kEnvX86).empty());
    EXPECT_TRUE(winsim::Printers().empty());
    EXPECT_EQ(winsim::DefaultPrinter(), u"");
}

TEST_F(SpoolerTest, EnumMonitorsPacksRecordsThenStringsFromTheEnd) {
    DWORD needed = 0, count = 99;
    EXPECT_FALSE(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(count, 0u);
    // Two records plus "Local Port", "Windows x64", "localspl.dll", "Standard TCP/IP Port",
    // "Windows x64", "tcpmon.dll" with their terminators.
    DWORD strings = (11 + 12 + 13 + 21 + 12 + 11) * 2;
    ASSERT_EQ(needed, 2 * sizeof(MONITOR_INFO_2W) + strings);

    std::vector<BYTE> small(needed - 1);
    DWORD again = 0;
    EXPECT_FALSE(EnumMonitorsW(nullptr, 2, small.data(), needed - 1, &again, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(again, needed);

    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(EnumMonitorsW(nullptr, 2, buf.data(), needed, &again, &count));
    ASSERT_EQ(count, 2u);
    auto* rec = reinterpret_cast<MONITOR_INFO_2W*>(buf.data());
    EXPECT_EQ(std::u16string(rec[0].pName), u"Local Port");
    EXPECT_EQ(std::u16string(rec[0].pEnvironment), u"Windows x64");
    EXPECT_EQ(std::u16string(rec[0].pDLLName), u"localspl.dll");
    EXPECT_EQ(std::u16string(rec[1].pName), u"Standard TCP/IP Port");
    EXPECT_EQ(std::u16string(rec[1].pDLLName), u"tcpmon.dll");
    const BYTE* stringsStart = buf.data() + 2 * sizeof(MONITOR_INFO_2W);
    for (int i = 0; i < 2; ++i) {
        for (LPWSTR s : {rec[i].pName, rec[i].pEnvironment, rec[i].pDLLName}) {
            EXPECT_TRUE(Inside(s, buf));
            EXPECT_GE(reinterpret_cast<const BYTE*>(s), stringsStart);
        }
    }
    // The first record's first string sits at the very end of the buffer.
    EXPECT_EQ(reinterpret_cast<BYTE*>(rec[0].pName) + 11 * 2, buf.data() + buf.size());

    // Level 1 holds only names.
    ASSERT_FALSE(EnumMonitorsW(nullptr, 1, nullptr, 0, &needed, &count));
    EXPECT_EQ(needed, 2 * sizeof(MONITOR_INFO_1W) + (11 + 21) * 2);
    std::vector<BYTE> buf1(needed);
    ASSERT_TRUE(EnumMonitorsW(nullptr, 1, buf1.data(), needed, &needed, &count));
    EXPECT_EQ(std::u16string(reinterpret_cast<MONITOR_INFO_1W*>(buf1.data())[1].pName), u"Standard TCP/IP Port");

    EXPECT_FALSE(EnumMonitorsW(nullptr, 3, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(SpoolerTest, AddMonitorChecksDllNameLevelAndEnvironment) {
    EXPECT_FALSE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    // Only the system directory counts.
    winsim::WriteTestFile(u"C:\\Program Files\\Quillgraph\\drv\\vmqmon64.dll", "MZ");
    EXPECT_FALSE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // The 64-bit spooler loads only x64 images, whatever environment is named.
    winsim::WriteTestFile(kMonPath, "MZ");
    for (winsim::Machine m : {winsim::Machine::None, winsim::Machine::X86}) {
        winsim::SetFileMachine(kMonPath, m);
        EXPECT_FALSE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
        EXPECT_FALSE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str(), u"Windows NT x86"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    }
    winsim::SetFileMachine(kMonPath, winsim::Machine::X64);
    EXPECT_EQ(winsim::FileBytes(kMonPath), "MZ") << "the header is not part of the contents";
    EXPECT_FALSE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str(), u"Windows IA64"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
    EXPECT_FALSE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str(), u"Windows x64", 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    winsim::SetMonitorDllLoadError(kMonDll, ERROR_PROC_NOT_FOUND);
    EXPECT_FALSE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_FALSE(winsim::MonitorExists(u"QuillgraphServer:"));
    winsim::SetMonitorDllLoadError(kMonDll, 0);

    EXPECT_TRUE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str(), nullptr));
    EXPECT_FALSE(AddMonitor(u"quillgraphserver:", kMonDll.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
    auto monitors = winsim::Monitors();
    ASSERT_EQ(monitors.size(), 3u);
    EXPECT_EQ(monitors[2].name, u"QuillgraphServer:");
    EXPECT_EQ(monitors[2].dll, kMonDll);
}

TEST_F(SpoolerTest, RegisteredMonitorProvidesTheDllsPorts) {
    winsim::SetMonitorDllPorts(kMonDll, {u"QuillgraphServer:"});
    EXPECT_FALSE(winsim::PortExists(u"QuillgraphServer:"));
    InstallProductMonitor();
    EXPECT_TRUE(winsim::PortExists(u"QuillgraphServer:"));
    ASSERT_TRUE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"QuillgraphServer:")));
    EXPECT_FALSE(winsim::PortExists(u"QuillgraphServer:"));
    EXPECT_FALSE(winsim::MonitorExists(u"QuillgraphServer:"));
}

TEST_F(SpoolerTest, DeleteMonitorRefusesUnknownMonitorsAndPortsInUse) {
    EXPECT_FALSE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"QuillgraphServer:")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
    InstallProductMonitor();
    EXPECT_FALSE(DeleteMonitorW(nullptr, const_cast<LPWSTR>(u"Windows ARM"),
                                const_cast<LPWSTR>(u"QuillgraphServer:")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));

    winsim::SpoolPrinter p;
    p.name = u"Other";
    p.driverName = u"Some Driver";
    p.portName = u"LPT1:,QuillgraphServer:";  // the port is used as the second of a list
    winsim::AddTestPrinter(p);
    EXPECT_FALSE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"QuillgraphServer:")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_IN_USE));
    EXPECT_TRUE(winsim::MonitorExists(u"QuillgraphServer:"));

    p.portName = u"file:";
    winsim::AddTestPrinter(p);
    EXPECT_TRUE(DeleteMonitorW(nullptr, const_cast<LPWSTR>(u"Windows x64"),
                               const_cast<LPWSTR>(u"QuillgraphServer:")));
}

TEST_F(SpoolerTest, MonitorDllIsHeldWhileLoadedAndAcrossStopAndStart) {
    InstallProductMonitor();
    EXPECT_TRUE(winsim::SpoolerHoldsDll(kMonDll));
    EXPECT_TRUE(winsim::IsHeld(kMonPath));
    // A loaded image: deletion is refused with access denied.
    EXPECT_FALSE(DeleteFileW(kMonPath.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    StopSpooler();
    EXPECT_FALSE(winsim::IsHeld(kMonPath));
    StartSpooler();
    EXPECT_TRUE(winsim::IsHeld(kMonPath));

    ASSERT_TRUE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"QuillgraphServer:")));
    EXPECT_FALSE(winsim::IsHeld(kMonPath));
    EXPECT_TRUE(DeleteFileW(kMonPath.c_str()));
}

TEST_F(SpoolerTest, SpoolerCanKeepARemovedMonitorsDllUntilItStops) {
    InstallProductMonitor();
    winsim::KeepMonitorDllLoaded(kMonDll);
    ASSERT_TRUE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"QuillgraphServer:")));
    EXPECT_TRUE(winsim::IsHeld(kMonPath));
    StopSpooler();
    EXPECT_FALSE(winsim::IsHeld(kMonPath));
    StartSpooler();  // the monitor is gone: nothing loads it again
    EXPECT_FALSE(winsim::IsHeld(kMonPath));
}

TEST_F(SpoolerTest, RebootLoadsTheRegisteredMonitorsAgain) {
    InstallProductMonitor();
    winsim::SimulateReboot();  // ends every hold; the spooler starts again by itself
    ASSERT_TRUE(winsim::IsServiceRunning(u"spooler"));
    EXPECT_TRUE(winsim::IsHeld(kMonPath));
    StopSpooler();
    EXPECT_FALSE(winsim::IsHeld(kMonPath));
}

TEST_F(SpoolerTest, EveryCallFailsWhileTheSpoolerIsStopped) {
    InstallProductMonitor();
    HANDLE h = nullptr;
    ASSERT_TRUE(OpenPrinterW(nullptr, &h, nullptr));
    StopSpooler();
    const DWORD kDown = RPC_S_SERVER_UNAVAILABLE;
    DWORD needed = 0, count = 0;
    EXPECT_FALSE(EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), kDown);
    EXPECT_FALSE(AddMonitor(u"Another", kMonDll.c_str()));
    EXPECT_EQ(GetLastError(), kDown);
    EXPECT_FALSE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"QuillgraphServer:")));
    EXPECT_EQ(GetLastError(), kDown);
    EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 6, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), kDown);
    EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), kDown);
    EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), kDown);
    HANDLE h2 = nullptr;
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(u"x"), &h2, nullptr));
    EXPECT_EQ(GetLastError(), kDown);
    DWORD cch = 0;
    EXPECT_FALSE(GetDefaultPrinterW(nullptr, &cch));
    EXPECT_EQ(GetLastError(), kDown);
    EXPECT_FALSE(SetDefaultPrinterW(u"x"));
    EXPECT_EQ(GetLastError(), kDown);
    EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("SubKey"), nullptr, nullptr, 0, &needed), kDown);
    // The handle is released on the caller's side all the same.
    EXPECT_FALSE(ClosePrinter(h));
    EXPECT_EQ(GetLastError(), kDown);
    EXPECT_EQ(winsim::OpenHandleCount(winsim::ObjectKind::Printer), 0u);
    // Nothing changed.
    EXPECT_TRUE(winsim::MonitorExists(u"QuillgraphServer:"));
}

TEST_F(SpoolerTest, CallsAreRecordedAndHonourInjectedFaults) {
    winsim::WriteTestFile(kMonPath, "MZ");
    winsim::SetFileMachine(kMonPath, winsim::Machine::X64);
    winsim::ClearCalls();
    winsim::InjectFault("AddMonitorW", ERROR_ACCESS_DENIED, 2);
    EXPECT_FALSE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str()));
    EXPECT_FALSE(winsim::MonitorExists(u"QuillgraphServer:"));
    EXPECT_TRUE(AddMonitor(u"QuillgraphServer:", kMonDll.c_str()));
    ASSERT_EQ(winsim::CallCount("AddMonitorW"), 3u);
    EXPECT_EQ(winsim::Calls().back().args, u"(null),2,QuillgraphServer:,Windows x64,vmqmon64.dll");

    winsim::InjectFault("GetPrinterDataExA", ERROR_NOT_ENOUGH_MEMORY);
    HANDLE h = nullptr;
    ASSERT_TRUE(OpenPrinterW(nullptr, &h, nullptr));
    DWORD needed = 0;
    EXPECT_EQ(GetPrinterDataExA(h, "DsUser", "SubKey", nullptr, nullptr, 0, &needed),
              static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(ClosePrinter(h));
}

}  // namespace

namespace {

// Ports belong to the monitor that created them: a second monitor of the same DLL owns none
// and goes while the first one's port is in use; the first does not.
TEST_F(SpoolerTest, MonitorsSharingADllOwnOnlyTheirOwnPorts) {
    InstallProductMonitor();
    ASSERT_TRUE(AddMonitor(u"Second", kMonDll.c_str()));
    winsim::SpoolPrinter p;
    p.name = u"Busy";
    p.portName = u"QuillgraphServer:";
    winsim::AddTestPrinter(p);
    EXPECT_TRUE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"Second")));
    EXPECT_TRUE(winsim::SpoolerHoldsDll(kMonDll));
    EXPECT_FALSE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"QuillgraphServer:")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_IN_USE));
}

// An empty printer name is no printer (null is the server); an empty environment is the
// caller's own, as null is.
TEST_F(SpoolerTest, EmptyPrinterNameAndEmptyEnvironment) {
    HANDLE h = reinterpret_cast<HANDLE>(1);
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(u""), &h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(h, nullptr);
    LPWSTR empty = const_cast<LPWSTR>(u"");
    DWORD needed = 0, count = 0;
    EXPECT_TRUE(EnumPrinterDriversW(nullptr, empty, 6, nullptr, 0, &needed, &count));
    EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, empty, 1, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(DeletePrinterDriverExW(nullptr, empty, const_cast<LPWSTR>(u"None"), 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
    EXPECT_TRUE(winsim::FileExists(std::u16string(kDefaultSystemDir) + u"\\tcpmon.dll"));
}

// The last error after calls that succeed: AddMonitorW and OpenSCManagerW always clear it; other
// calls only with the switch on, except those that return their error; another party acting
// before a call does not touch it.
TEST_F(SpoolerTest, LastErrorAfterSuccess) {
    winsim::WriteTestFile(kMonPath, "MZ monitor");
    winsim::SetFileMachine(kMonPath, winsim::Machine::X64);
    struct Case {
        bool clears;
        const char* what;
        std::function<bool()> call;
        DWORD after;
    };
    HKEY key = nullptr;
    const Case cases[] = {
        {false, "AddMonitorW", [&] { return AddMonitor(u"QuillgraphServer:", kMonDll.c_str()) != FALSE; }, 0},
        {false, "OpenSCManagerW",
         [&] {
             SC_HANDLE sc = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
             DWORD e = GetLastError();
             CloseServiceHandle(sc);
             SetLastError(e);
             return sc != nullptr;
         },
         0},
        {false, "GetFileAttributesW", [&] { return GetFileAttributesW(kMonPath.c_str()) != INVALID_FILE_ATTRIBUTES; }, 87},
        {true, "GetFileAttributesW", [&] { return GetFileAttributesW(kMonPath.c_str()) != INVALID_FILE_ATTRIBUTES; }, 0},
        {true, "RegOpenKeyExW",
         [&] { return RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key) == ERROR_SUCCESS; }, 87},
        {true, "RegCloseKey", [&] { return RegCloseKey(key) == ERROR_SUCCESS; }, 87},
        {true, "DeleteFileW (fails)", [&] { return DeleteFileW(u"C:\\none.txt") == FALSE; }, ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        winsim::SuccessClearsLastError(c.clears);
        SetLastError(ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(c.call());
        EXPECT_EQ(GetLastError(), c.after);
    }
    winsim::SuccessClearsLastError(false);
    SetLastError(ERROR_INVALID_PARAMETER);
    winsim::BeforeCall("GetFileAttributesW", [] { SetLastError(ERROR_ACCESS_DENIED); });
    GetFileAttributesW(kMonPath.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace

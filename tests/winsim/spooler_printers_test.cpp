// The simulated spooler's printers: adding and its refusals, handles and access rights, the
// packed level-2 record, SetPrinterW, queued jobs, printer data and the default printer.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/services.h>
#include <winsim/spooler.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class SpoolerPrinterTest : public ::testing::Test {
protected:
    void SetUp() override {
        winsim::Reset();
        winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
        winsim::SpoolDriver d;
        d.name = u"Quillgraph Server";
        d.driverPath = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\vmqdrv64.dll";
        winsim::AddTestDriver(d);
        winsim::SetMonitorDllPorts(u"vmqmon64.dll", {u"QuillgraphServer:"});
        winsim::AddTestMonitor(u"QuillgraphServer:", u"vmqmon64.dll");
    }

    // AddPrinterW with the record the installer uses; the handle is closed unless kept.
    HANDLE Add(const char16_t* name, const char16_t* port = u"QuillgraphServer:",
               const char16_t* driver = u"Quillgraph Server", const char16_t* processor = u"WinPrint",
               bool keep = false) {
        std::u16string n = name ? name : u"", po = port ? port : u"", d = driver, pp = processor ? processor : u"",
                       empty;
        PRINTER_INFO_2W info{};
        info.pPrinterName = name ? n.data() : nullptr;
        info.pPortName = port ? po.data() : nullptr;
        info.pDriverName = d.data();
        info.pComment = empty.data();
        info.pPrintProcessor = processor ? pp.data() : nullptr;
        HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
        if (h && !keep) {
            EXPECT_TRUE(ClosePrinter(h));
        }
        return h;
    }

    HANDLE Open(const char16_t* name, ACCESS_MASK access) {
        PRINTER_DEFAULTSW defaults{nullptr, nullptr, access};
        HANDLE h = nullptr;
        EXPECT_TRUE(OpenPrinterW(const_cast<LPWSTR>(name), &h, access ? &defaults : nullptr));
        return h;
    }

    // GetPrinterW level 2 through the two-call pattern.
    std::vector<BYTE> Info2(HANDLE h) {
        DWORD needed = 0;
        EXPECT_FALSE(GetPrinterW(h, 2, nullptr, 0, &needed));
        std::vector<BYTE> buf(needed);
        EXPECT_TRUE(GetPrinterW(h, 2, buf.data(), needed, &needed));
        return buf;
    }
};

PRINTER_INFO_2W* AsInfo2(std::vector<BYTE>& buf) { return reinterpret_cast<PRINTER_INFO_2W*>(buf.data()); }

TEST_F(SpoolerPrinterTest, AddPrinterRefusals) {
    ASSERT_TRUE(Add(u"qgrServer"));
    struct Case {
        const char16_t* name;
        const char16_t* port;
        const char16_t* driver;
        const char16_t* processor;
        DWORD error;
    };
    const Case cases[] = {
        {u"QGRSERVER", u"QuillgraphServer:", u"Quillgraph Server", u"WinPrint", ERROR_PRINTER_ALREADY_EXISTS},
        {u"New", u"QuillgraphServer:", u"Quillgraph Server ", u"WinPrint", ERROR_UNKNOWN_PRINTER_DRIVER},
        {u"New", u"NoSuchPort:", u"Quillgraph Server", u"WinPrint", ERROR_UNKNOWN_PORT},
        {u"New", u"FILE:,NoSuchPort:", u"Quillgraph Server", u"WinPrint", ERROR_UNKNOWN_PORT},
        {u"New", nullptr, u"Quillgraph Server", u"WinPrint", ERROR_UNKNOWN_PORT},
        {u"New", u"FILE:", u"Quillgraph Server", u"NoProcessor", ERROR_UNKNOWN_PRINTPROCESSOR},
        {u"New", u"FILE:", u"Quillgraph Server", nullptr, ERROR_UNKNOWN_PRINTPROCESSOR},
        {u"", u"FILE:", u"Quillgraph Server", u"WinPrint", ERROR_INVALID_PRINTER_NAME},
        {u"a,b", u"FILE:", u"Quillgraph Server", u"WinPrint", ERROR_INVALID_PRINTER_NAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(winsim::ToUtf8(c.name) + " / " + (c.port ? winsim::ToUtf8(c.port) : "null"));
        EXPECT_EQ(Add(c.name, c.port, c.driver, c.processor), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(winsim::Printers().size(), 1u);
    // Port names and the print processor compare ignoring case; lists of existing ports pass.
    EXPECT_TRUE(Add(u"Parked", u"file:", u"Quillgraph Server", u"winprint"));
    EXPECT_TRUE(Add(u"Two ports", u"LPT1:,QuillgraphServer:"));
    auto printers = winsim::Printers();
    ASSERT_EQ(printers.size(), 3u);
    EXPECT_EQ(printers[1].portName, u"file:");
    EXPECT_EQ(printers[2].portName, u"LPT1:,QuillgraphServer:");
}

TEST_F(SpoolerPrinterTest, HandlesCarryTheRequestedAccess) {
    HANDLE added = Add(u"qgrServer", u"QuillgraphServer:", u"Quillgraph Server", u"WinPrint", true);
    ASSERT_TRUE(added);
    BYTE sz[] = "s1";
    EXPECT_EQ(SetPrinterDataA(added, const_cast<LPSTR>("SubKey"), REG_SZ, sz, 3), 0u);
    EXPECT_TRUE(ClosePrinter(added));

    HANDLE user = Open(u"qgrserver", 0);  // no defaults: use only
    auto buf = Info2(user);
    EXPECT_FALSE(SetPrinterW(user, 2, buf.data(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(SetPrinterDataA(user, const_cast<LPSTR>("SubKey"), REG_SZ, sz, 3),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(SetPrinterDataExA(user, "DsUser", "SubKey", REG_SZ, sz, 3), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeletePrinter(user));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(ClosePrinter(user));
    EXPECT_FALSE(ClosePrinter(user));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE admin = Open(u"qgrServer", PRINTER_ACCESS_ADMINISTER);
    EXPECT_FALSE(DeletePrinter(admin));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // CloseHandle is not the way to close a printer.
    EXPECT_FALSE(CloseHandle(admin));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(ClosePrinter(admin));

    HANDLE h = nullptr;
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(u"Nobody"), &h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(h, nullptr);

    HANDLE del = Open(u"qgrServer", DELETE | PRINTER_ACCESS_ADMINISTER);
    EXPECT_TRUE(DeletePrinter(del));
    EXPECT_FALSE(winsim::PrinterExists(u"qgrServer"));
    // The handle outlives its printer until closed.
    DWORD needed = 0;
    EXPECT_FALSE(GetPrinterW(del, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_TRUE(ClosePrinter(del));
    EXPECT_EQ(winsim::OpenHandleCount(winsim::ObjectKind::Printer), 0u);
}

TEST_F(SpoolerPrinterTest, GetPrinterPacksTheLevel2Record) {
    ASSERT_TRUE(Add(u"qgrServer"));
    HANDLE h = Open(u"qgrServer", PRINTER_ALL_ACCESS);
    DWORD needed = 0;
    ASSERT_FALSE(GetPrinterW(h, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // Name, port, driver, comment "", processor, data type "RAW"; the driver's device mode
    // (public part and 16 bytes of its own) 8-byte aligned.
    DWORD strings = (10 + 18 + 18 + 1 + 9 + 4) * 2, devMode = sizeof(DEVMODEW) + 16 + 4;
    EXPECT_EQ(needed, sizeof(PRINTER_INFO_2W) + strings + devMode);
    std::vector<BYTE> buf(needed);
    DWORD again = 0;
    EXPECT_FALSE(GetPrinterW(h, 2, buf.data(), needed - 1, &again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(again, needed);
    ASSERT_TRUE(GetPrinterW(h, 2, buf.data(), needed, &again));
    auto* p = AsInfo2(buf);
    EXPECT_EQ(p->pServerName, nullptr);
    EXPECT_EQ(std::u16string(p->pPrinterName), u"qgrServer");
    EXPECT_EQ(p->pShareName, nullptr);
    EXPECT_EQ(std::u16string(p->pPortName), u"QuillgraphServer:");
    EXPECT_EQ(std::u16string(p->pDriverName), u"Quillgraph Server");
    ASSERT_NE(p->pComment, nullptr);
    EXPECT_EQ(p->pComment[0], u'\0');
    EXPECT_EQ(p->pLocation, nullptr);
    ASSERT_NE(p->pDevMode, nullptr);
    EXPECT_EQ(std::u16string(p->pDevMode->dmDeviceName), u"qgrServer");
    EXPECT_EQ(p->pDevMode->dmSize, sizeof(DEVMODEW));
    EXPECT_EQ(p->pDevMode->dmDriverExtra, 16u);
    EXPECT_EQ(reinterpret_cast<BYTE*>(p->pDevMode), buf.data() + sizeof(PRINTER_INFO_2W));
    EXPECT_EQ(p->pSepFile, nullptr);
    EXPECT_EQ(std::u16string(p->pPrintProcessor), u"WinPrint");
    EXPECT_EQ(std::u16string(p->pDatatype), u"RAW");
    EXPECT_EQ(p->pParameters, nullptr);
    EXPECT_EQ(p->Attributes, static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL));
    EXPECT_EQ(p->cJobs, 0u);
    for (LPWSTR s : {p->pPrinterName, p->pPortName, p->pDriverName, p->pComment, p->pPrintProcessor, p->pDatatype}) {
        auto b = reinterpret_cast<BYTE*>(s);
        EXPECT_GE(b, buf.data() + sizeof(PRINTER_INFO_2W) + devMode);
        EXPECT_LT(b, buf.data() + buf.size());
    }
    EXPECT_TRUE(ClosePrinter(h));
}

TEST_F(SpoolerPrinterTest, SetPrinterReplacesTheFieldsAndChecksThem) {
    ASSERT_TRUE(Add(u"qgrServer"));
    HANDLE h = Open(u"qgrServer", PRINTER_ALL_ACCESS);
    auto buf = Info2(h);
    auto* p = AsInfo2(buf);
    std::u16string port = u"NoSuchPort:", file = u"file:", comment = u"Front desk", location = u"Room 1",
                   share = u"qgr";
    p->pPortName = port.data();
    EXPECT_FALSE(SetPrinterW(h, 2, buf.data(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
    EXPECT_EQ(winsim::FindPrinter(u"qgrServer")->portName, u"QuillgraphServer:");

    p->pPortName = file.data();
    p->pComment = comment.data();
    p->pLocation = location.data();
    p->pShareName = share.data();
    p->Attributes |= PRINTER_ATTRIBUTE_SHARED;
    ASSERT_TRUE(SetPrinterW(h, 2, buf.data(), 0));
    auto stored = winsim::FindPrinter(u"qgrServer");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->portName, u"file:");
    EXPECT_EQ(stored->comment, u"Front desk");
    EXPECT_EQ(stored->location, u"Room 1");
    EXPECT_EQ(stored->shareName, u"qgr");
    EXPECT_TRUE(stored->attributes & PRINTER_ATTRIBUTE_SHARED);

    // A rename is refused onto another printer's name and otherwise follows the record.
    ASSERT_TRUE(Add(u"Other", u"FILE:"));
    std::u16string other = u"other", renamed = u"Renamed";
    p->pPrinterName = other.data();
    EXPECT_FALSE(SetPrinterW(h, 2, buf.data(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));
    p->pPrinterName = renamed.data();
    ASSERT_TRUE(SetPrinterW(h, 2, buf.data(), 0));
    EXPECT_TRUE(winsim::PrinterExists(u"Renamed"));
    EXPECT_FALSE(winsim::PrinterExists(u"qgrServer"));

    EXPECT_FALSE(SetPrinterW(h, 5, buf.data(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_TRUE(ClosePrinter(h));
}

TEST_F(SpoolerPrinterTest, PurgeAndDeletionWithQueuedJobs) {
    ASSERT_TRUE(Add(u"qgrServer"));
    winsim::AddJobs(u"qgrServer", 3);
    HANDLE h = Open(u"qgrServer", DELETE | PRINTER_ACCESS_ADMINISTER);
    auto queued = Info2(h);
    EXPECT_EQ(AsInfo2(queued)->cJobs, 3u);
    ASSERT_TRUE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE));
    EXPECT_EQ(winsim::FindPrinter(u"qgrServer")->jobs, 0u);
    EXPECT_FALSE(SetPrinterW(h, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_COMMAND));

    // With jobs queued the printer waits for them before it goes.
    winsim::AddJobs(u"qgrServer", 1);
    ASSERT_TRUE(DeletePrinter(h));
    auto pending = winsim::FindPrinter(u"qgrServer");
    ASSERT_TRUE(pending);
    EXPECT_TRUE(pending->pendingDeletion);
    auto buf = Info2(h);
    EXPECT_TRUE(AsInfo2(buf)->Status & PRINTER_STATUS_PENDING_DELETION);
    EXPECT_EQ(Add(u"qgrServer"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));
    ASSERT_TRUE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE));
    EXPECT_FALSE(winsim::PrinterExists(u"qgrServer"));
    EXPECT_TRUE(ClosePrinter(h));
    // The record names the printer behind each handle.
    std::vector<std::u16string> deletes;
    for (auto& call : winsim::Calls())
        if (call.api == "DeletePrinter") deletes.push_back(call.args);
    EXPECT_EQ(deletes, std::vector<std::u16string>{u"qgrServer"});
}

// A command goes with level 0 only, and only PRINTER_CONTROL_SET_STATUS takes data; level 1
// is not settable. A refused call changes nothing and its record keeps level and command.
TEST_F(SpoolerPrinterTest, SetPrinterCommandAndLevelRules) {
    ASSERT_TRUE(Add(u"qgrServer"));
    winsim::AddJobs(u"qgrServer", 2);
    HANDLE h = Open(u"qgrServer", PRINTER_ALL_ACCESS);
    auto buf = Info2(h);
    struct Case {
        DWORD level;
        bool data;
        DWORD command;
        DWORD error;
    };
    const Case cases[] = {
        {2, true, PRINTER_CONTROL_PURGE, ERROR_INVALID_PARAMETER},
        {2, true, PRINTER_CONTROL_PAUSE, ERROR_INVALID_PARAMETER},
        {0, true, PRINTER_CONTROL_PURGE, ERROR_INVALID_PARAMETER},
        {1, true, 0, ERROR_INVALID_LEVEL},
        {1, false, PRINTER_CONTROL_PURGE, ERROR_INVALID_LEVEL},
        {0, false, 0, ERROR_INVALID_PRINTER_COMMAND},
        {0, false, 9, ERROR_INVALID_PRINTER_COMMAND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.level << "/" << c.command);
        winsim::ClearCalls();
        EXPECT_FALSE(SetPrinterW(h, c.level, c.data ? buf.data() : nullptr, c.command));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(winsim::FindPrinter(u"qgrServer")->jobs, 2u);
        EXPECT_EQ(winsim::FindPrinter(u"qgrServer")->status, 0u);
        ASSERT_EQ(winsim::Calls().size(), 1u);
        EXPECT_EQ(winsim::Calls()[0].args.rfind(u"qgrServer," + winsim::ToU16(std::to_string(c.level)) + u"," +
                                                    winsim::ToU16(std::to_string(c.command)),
                                                0),
                  0u);
    }
    ASSERT_TRUE(SetPrinterW(h, 2, buf.data(), 0));
    ASSERT_TRUE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE));
    EXPECT_EQ(winsim::FindPrinter(u"qgrServer")->jobs, 0u);
    EXPECT_TRUE(ClosePrinter(h));
}

// A held (paused) printer with jobs is not deleted; a purge empties it whether paused or not,
// and a printer pending deletion cannot be held.
TEST_F(SpoolerPrinterTest, PausedPrinterWithJobsRefusesDeletionUntilPurged) {
    ASSERT_TRUE(Add(u"qgrServer"));
    winsim::AddJobs(u"qgrServer", 2);
    HANDLE h = Open(u"qgrServer", DELETE | PRINTER_ACCESS_ADMINISTER);
    ASSERT_TRUE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PAUSE));
    EXPECT_FALSE(DeletePrinter(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(winsim::FindPrinter(u"qgrServer")->pendingDeletion);
    ASSERT_TRUE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE));
    EXPECT_EQ(winsim::FindPrinter(u"qgrServer")->jobs, 0u);
    ASSERT_TRUE(DeletePrinter(h));
    EXPECT_FALSE(winsim::PrinterExists(u"qgrServer"));
    EXPECT_TRUE(ClosePrinter(h));

    ASSERT_TRUE(Add(u"Busy"));
    winsim::AddJobs(u"Busy", 1);
    h = Open(u"Busy", DELETE | PRINTER_ACCESS_ADMINISTER);
    ASSERT_TRUE(DeletePrinter(h));
    EXPECT_FALSE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PAUSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_STATE));
    EXPECT_EQ(winsim::FindPrinter(u"Busy")->status & PRINTER_STATUS_PAUSED, 0u);
    EXPECT_TRUE(ClosePrinter(h));
}

TEST_F(SpoolerPrinterTest, EnumPrintersInCreationOrderWithTheDefaultMark) {
    DWORD needed = 7, count = 7;
    ASSERT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(count, 0u);

    ASSERT_TRUE(Add(u"B"));
    ASSERT_TRUE(Add(u"A", u"FILE:"));
    ASSERT_TRUE(SetDefaultPrinterW(u"a"));
    EXPECT_FALSE(EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buf(needed);
    EXPECT_FALSE(EnumPrintersW(6, nullptr, 2, buf.data(), needed - 1, &needed, &count));
    ASSERT_TRUE(EnumPrintersW(6, nullptr, 2, buf.data(), needed, &needed, &count));
    ASSERT_EQ(count, 2u);
    auto* p = AsInfo2(buf);
    EXPECT_EQ(std::u16string(p[0].pPrinterName), u"B");
    EXPECT_EQ(std::u16string(p[1].pPrinterName), u"A");
    EXPECT_EQ(std::u16string(p[1].pPortName), u"FILE:");
    // The default printer is not announced by an attribute unless a test asks for it.
    EXPECT_FALSE(p[0].Attributes & PRINTER_ATTRIBUTE_DEFAULT);
    EXPECT_FALSE(p[1].Attributes & PRINTER_ATTRIBUTE_DEFAULT);
    winsim::ReportDefaultAttribute(true);
    ASSERT_TRUE(EnumPrintersW(6, nullptr, 2, buf.data(), needed, &needed, &count));
    EXPECT_FALSE(AsInfo2(buf)[0].Attributes & PRINTER_ATTRIBUTE_DEFAULT);
    EXPECT_TRUE(AsInfo2(buf)[1].Attributes & PRINTER_ATTRIBUTE_DEFAULT);
    // The mark is reported, not stored.
    EXPECT_FALSE(winsim::FindPrinter(u"A")->attributes & PRINTER_ATTRIBUTE_DEFAULT);
    winsim::ReportDefaultAttribute(false);

    // Only level 2 is modelled.
    for (DWORD level : {1u, 3u, 4u}) {
        EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, nullptr, 0, &needed, &count));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    }
}

TEST_F(SpoolerPrinterTest, DefaultPrinter) {
    DWORD cch = 255;
    std::vector<char16_t> name(255, u'?');
    EXPECT_FALSE(GetDefaultPrinterW(name.data(), &cch));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // With no printer there is nothing to pick.
    EXPECT_FALSE(SetDefaultPrinterW(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));

    ASSERT_TRUE(Add(u"First", u"FILE:"));
    ASSERT_TRUE(Add(u"qgrServer"));
    EXPECT_FALSE(SetDefaultPrinterW(u"Nobody"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(winsim::DefaultPrinter(), u"");
    ASSERT_TRUE(SetDefaultPrinterW(u"QGRSERVER"));
    EXPECT_EQ(winsim::DefaultPrinter(), u"qgrServer");  // the printer's own spelling

    cch = 0;
    EXPECT_FALSE(GetDefaultPrinterW(nullptr, &cch));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(cch, 10u);
    cch = 9;
    EXPECT_FALSE(GetDefaultPrinterW(name.data(), &cch));
    EXPECT_EQ(cch, 10u);
    ASSERT_TRUE(GetDefaultPrinterW(name.data(), &cch));
    EXPECT_EQ(std::u16string(name.data()), u"qgrServer");
    EXPECT_EQ(cch, 10u);

    // An empty name keeps an existing default.
    EXPECT_TRUE(SetDefaultPrinterW(u""));
    EXPECT_EQ(winsim::DefaultPrinter(), u"qgrServer");

    // Renaming keeps the default; deleting it leaves none.
    HANDLE h = Open(u"qgrServer", PRINTER_ALL_ACCESS);
    auto buf = Info2(h);
    std::u16string renamed = u"Renamed";
    AsInfo2(buf)->pPrinterName = renamed.data();
    ASSERT_TRUE(SetPrinterW(h, 2, buf.data(), 0));
    EXPECT_EQ(winsim::DefaultPrinter(), u"Renamed");
    ASSERT_TRUE(DeletePrinter(h));
    EXPECT_TRUE(ClosePrinter(h));
    EXPECT_EQ(winsim::DefaultPrinter(), u"");
    cch = 255;
    EXPECT_FALSE(GetDefaultPrinterW(name.data(), &cch));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Without a default, an empty name picks an installed printer.
    EXPECT_TRUE(SetDefaultPrinterW(nullptr));
    EXPECT_EQ(winsim::DefaultPrinter(), u"First");
}

TEST_F(SpoolerPrinterTest, PrinterDataPlainAndKeyed) {
    ASSERT_TRUE(Add(u"qgrServer"));
    HANDLE h = Open(u"qgrServer", PRINTER_ALL_ACCESS);
    const char value[] = "C:\\ProgramData\\Quillgraph\\spool";  // 31 characters
    DWORD cb = sizeof(value);
    ASSERT_EQ(SetPrinterDataA(h, const_cast<LPSTR>("SubKey"), REG_SZ,
                              reinterpret_cast<LPBYTE>(const_cast<char*>(value)), cb),
              0u);

    DWORD type = 0, needed = 0;
    EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("SubKey"), &type, nullptr, 0, &needed),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(needed, cb);
    std::vector<BYTE> out(64, 0xAA);
    EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("subkey"), &type, out.data(), cb - 1, &needed),
              static_cast<DWORD>(ERROR_MORE_DATA));
    ASSERT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("SubKey"), &type, out.data(), cb, &needed), 0u);
    EXPECT_EQ(std::memcmp(out.data(), value, cb), 0);
    EXPECT_EQ(out[cb], 0xAA);  // nothing written past the value

    // The plain value lives under the "PrinterDriverData" key, not under "DsUser".
    EXPECT_EQ(GetPrinterDataExA(h, "PrinterDriverData", "SubKey", &type, out.data(), 64, &needed), 0u);
    EXPECT_EQ(GetPrinterDataExA(h, "DsUser", "SubKey", &type, out.data(), 64, &needed),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("Missing"), &type, out.data(), 64, &needed),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Types and sizes are stored as written, a string without its terminator included.
    BYTE raw[] = {'a', 'b'};
    ASSERT_EQ(SetPrinterDataExA(h, "DsUser", "SubKey", REG_SZ, raw, 2), 0u);
    DWORD dword = 0x01020304;
    ASSERT_EQ(SetPrinterDataExA(h, "DsUser", "Count", REG_DWORD, reinterpret_cast<LPBYTE>(&dword), 4), 0u);
    EXPECT_EQ(GetPrinterDataExA(h, "dsuser", "SubKey", &type, out.data(), 64, &needed), 0u);
    EXPECT_EQ(needed, 2u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    DWORD read = 0;
    EXPECT_EQ(GetPrinterDataExA(h, "DsUser", "Count", &type, reinterpret_cast<LPBYTE>(&read), 4, &needed), 0u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, dword);
    EXPECT_EQ(SetPrinterDataExA(h, "", "SubKey", REG_SZ, raw, 2), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    DWORD storedType = 0;
    std::string bytes;
    std::string stored;
    ASSERT_TRUE(winsim::GetTestPrinterData(u"qgrServer", "DsUser", "subkey", &storedType, &bytes, &stored));
    EXPECT_EQ(bytes, "ab");
    EXPECT_EQ(stored, std::string("a\0b\0", 4)) << "strings are kept in UTF-16";
    ASSERT_TRUE(winsim::GetTestPrinterData(u"qgrServer", "DsUser", "Count", &storedType, &bytes, &stored));
    EXPECT_EQ(stored, std::string(reinterpret_cast<const char*>(&dword), 4)) << "other types as written";
    ASSERT_TRUE(winsim::GetTestPrinterData(u"qgrServer", "", "SubKey", &storedType, &bytes));
    EXPECT_EQ(bytes, std::string(value, cb));
    EXPECT_TRUE(ClosePrinter(h));

    // Reading needs no administration right.
    HANDLE user = Open(u"qgrServer", 0);
    EXPECT_EQ(GetPrinterDataExA(user, "DsUser", "SubKey", &type, out.data(), 64, &needed), 0u);
    EXPECT_TRUE(ClosePrinter(user));
}

// String values are stored in UTF-16 and converted through code page 1252 on the ANSI calls;
// the size the ANSI read asks for is the converted size, or with the switch the stored one.
TEST_F(SpoolerPrinterTest, AnsiPrinterDataIsConvertedAndSizedByTheSwitch) {
    ASSERT_TRUE(Add(u"qgrServer"));
    HANDLE h = Open(u"qgrServer", PRINTER_ALL_ACCESS);
    const char text[] = "Caf\xE9 \x80";  // e acute and the euro sign in code page 1252
    const DWORD n = sizeof(text) - 1;
    for (DWORD type : {DWORD{REG_SZ}, DWORD{REG_EXPAND_SZ}}) {
        ASSERT_EQ(SetPrinterDataA(h, const_cast<LPSTR>("Text"), type, reinterpret_cast<LPBYTE>(const_cast<char*>(text)),
                                  n + 1),
                  0u);
        std::string stored;
        ASSERT_TRUE(winsim::GetTestPrinterData(u"qgrServer", "", "Text", nullptr, nullptr, &stored));
        const std::u16string wide = u"Caf\u00E9 \u20AC";
        EXPECT_EQ(stored, std::string(reinterpret_cast<const char*>(wide.c_str()), (wide.size() + 1) * 2));
        for (bool wideSize : {false, true}) {
            SCOPED_TRACE(wideSize);
            winsim::AnsiPrinterDataAsksWideSize(wideSize);
            const DWORD asks = wideSize ? 2 * (n + 1) : n + 1;
            DWORD needed = 0, got = 0;
            std::vector<BYTE> out(2 * (n + 1), 0xAA);
            EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("Text"), &got, nullptr, 0, &needed),
                      static_cast<DWORD>(ERROR_MORE_DATA));
            EXPECT_EQ(needed, asks);
            EXPECT_EQ(GetPrinterDataExA(h, "PrinterDriverData", "Text", &got, out.data(), asks - 1, &needed),
                      static_cast<DWORD>(ERROR_MORE_DATA));
            ASSERT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("Text"), &got, out.data(), asks, &needed), 0u);
            EXPECT_EQ(got, type);
            EXPECT_EQ(std::memcmp(out.data(), text, n + 1), 0);
            EXPECT_EQ(out[n + 1], 0xAA) << "the ANSI text only";
        }
    }
    // Other types are neither converted nor sized differently.
    winsim::AnsiPrinterDataAsksWideSize(true);
    DWORD value = 7, needed = 0, type = 0;
    ASSERT_EQ(SetPrinterDataA(h, const_cast<LPSTR>("N"), REG_DWORD, reinterpret_cast<LPBYTE>(&value), 4), 0u);
    EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("N"), &type, nullptr, 0, &needed),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(needed, 4u);
    EXPECT_TRUE(ClosePrinter(h));
}

}  // namespace

namespace {

// Names of the printers EnumPrintersW reports for `flags`, with their attributes.
std::vector<std::pair<std::u16string, DWORD>> Enumerate(DWORD flags) {
    DWORD needed = 0, count = 0;
    EnumPrintersW(flags, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> block(needed + 1);
    std::vector<std::pair<std::u16string, DWORD>> out;
    if (!EnumPrintersW(flags, nullptr, 2, block.data(), needed, &needed, &count)) return out;
    auto* records = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
    for (DWORD i = 0; i < count; ++i) out.emplace_back(records[i].pPrinterName, records[i].Attributes);
    return out;
}

// A connection is listed only when connections are asked for, reaches the server's printer
// through its handle, and holds neither this machine's monitor nor its driver.
TEST_F(SpoolerPrinterTest, ConnectionsToAnotherMachinesPrinter) {
    Add(u"Local");
    winsim::SpoolPrinter remote;
    remote.name = u"qgrServer";
    remote.portName = u"QuillgraphServer:";
    remote.driverName = u"Quillgraph Server";
    winsim::AddTestConnection(u"SRV", remote);
    const DWORD local = PRINTER_ATTRIBUTE_LOCAL, network = PRINTER_ATTRIBUTE_NETWORK;
    using List = std::vector<std::pair<std::u16string, DWORD>>;
    EXPECT_EQ(Enumerate(PRINTER_ENUM_LOCAL), (List{{u"Local", local}}));
    EXPECT_EQ(Enumerate(PRINTER_ENUM_CONNECTIONS), (List{{u"\\\\SRV\\qgrServer", network}}));
    EXPECT_EQ(Enumerate(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS),
              (List{{u"Local", local}, {u"\\\\SRV\\qgrServer", network}}));

    PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE h = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"\\\\SRV\\qgrServer"), &h, &all));
    ASSERT_TRUE(DeletePrinter(h));
    ClosePrinter(h);
    EXPECT_FALSE(winsim::PrinterExists(u"\\\\SRV\\qgrServer")) << "deleted on the server";

    winsim::AddTestConnection(u"SRV", remote);
    h = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"Local"), &h, &all));
    ASSERT_TRUE(DeletePrinter(h));
    ClosePrinter(h);
    EXPECT_TRUE(DeleteMonitorW(nullptr, const_cast<LPWSTR>(u"Windows x64"), const_cast<LPWSTR>(u"QuillgraphServer:")));
    EXPECT_TRUE(DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(u"Windows x64"),
                                       const_cast<LPWSTR>(u"Quillgraph Server"), 0, 0));
}

}  // namespace

namespace {

// A printer deleted with a job still printing keeps its driver and monitor in use until the job
// ends (by the clock, by ClearJobs) or the spooler stops; the stop also kills every handle.
TEST_F(SpoolerPrinterTest, PendingDeletionHoldsDriverAndMonitorUntilItsJobEnds) {
    enum class End { Clock, Clear, SpoolerStop };
    for (End end : {End::Clock, End::Clear, End::SpoolerStop}) {
        SCOPED_TRACE(static_cast<int>(end));
        ASSERT_TRUE(Add(u"Busy"));
        winsim::AddJobs(u"Busy", 2, 1000);
        HANDLE h = Open(u"Busy", PRINTER_ALL_ACCESS);
        winsim::AdvanceClock(1000);  // the first job ends
        ASSERT_TRUE(DeletePrinter(h));
        ASSERT_TRUE(winsim::FindPrinter(u"Busy")->pendingDeletion);
        EXPECT_FALSE(DeletePrinterDriverExW(nullptr, nullptr, const_cast<LPWSTR>(u"Quillgraph Server"), 0, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
        EXPECT_FALSE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(u"QuillgraphServer:")));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_IN_USE));
        winsim::AdvanceClock(999);
        EXPECT_TRUE(winsim::PrinterExists(u"Busy"));
        if (end == End::Clock) winsim::AdvanceClock(1);
        if (end == End::Clear) winsim::ClearJobs(u"Busy");
        if (end == End::SpoolerStop) {
            winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
            winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
        }
        EXPECT_FALSE(winsim::PrinterExists(u"Busy"));
        DWORD needed = 0;
        EXPECT_FALSE(GetPrinterW(h, 2, nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(end == End::SpoolerStop ? ERROR_INVALID_HANDLE
                                                                               : ERROR_INVALID_PRINTER_NAME));
        EXPECT_EQ(ClosePrinter(h), end != End::SpoolerStop);
    }
}

// After a restart a handle of the old spooler fails every call; closing it frees it all the same.
TEST_F(SpoolerPrinterTest, PrinterHandlesDieWithTheSpooler) {
    ASSERT_TRUE(Add(u"qgrServer"));
    HANDLE h = Open(u"qgrServer", PRINTER_ALL_ACCESS);
    auto buf = Info2(h);
    winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
    winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
    DWORD needed = 0, type = 0;
    EXPECT_FALSE(GetPrinterW(h, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetPrinterW(h, 2, buf.data(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetPrinterDataA(h, const_cast<LPSTR>("SubKey"), &type, nullptr, 0, &needed),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ClosePrinter(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(winsim::OpenHandleCount(winsim::ObjectKind::Printer), 0u);
    EXPECT_TRUE(ClosePrinter(Open(u"qgrServer", 0)));
}

// The device mode read with level 2 goes back with SetPrinterW level 2: given, it replaces the
// printer's (checked for the members up to dmFields); null keeps it. AddPrinterW stores one given.
TEST_F(SpoolerPrinterTest, DeviceModeSurvivesTheLevel2RoundTrip) {
    ASSERT_TRUE(Add(u"qgrServer"));
    HANDLE h = Open(u"qgrServer", PRINTER_ALL_ACCESS);
    const std::string original = winsim::FindPrinter(u"qgrServer")->devMode;
    struct Case {
        bool passNull;
        short orientation;
        WORD size;
        BOOL ok;
        short stored;
    };
    const Case cases[] = {{false, 1, sizeof(DEVMODEW), TRUE, 1},
                          {false, 2, sizeof(DEVMODEW), TRUE, 2},
                          {true, 1, sizeof(DEVMODEW), TRUE, 2},
                          {false, 1, 75, FALSE, 2}};
    for (const Case& c : cases) {
        auto buf = Info2(h);
        auto* info = AsInfo2(buf);
        info->pDevMode->dmOrientation = c.orientation;
        info->pDevMode->dmSize = c.size;
        if (c.passNull) info->pDevMode = nullptr;
        EXPECT_EQ(SetPrinterW(h, 2, buf.data(), 0), c.ok);
        auto after = Info2(h);
        EXPECT_EQ(AsInfo2(after)->pDevMode->dmOrientation, c.stored);
        EXPECT_EQ(AsInfo2(after)->pDevMode->dmDriverExtra, 16u);
    }
    EXPECT_EQ(winsim::FindPrinter(u"qgrServer")->devMode.size(), original.size());
    auto buf = Info2(h);
    auto* info = AsInfo2(buf);
    std::u16string copy = u"Copy";
    info->pPrinterName = copy.data();
    HANDLE added = AddPrinterW(nullptr, 2, buf.data());
    ASSERT_TRUE(added);
    EXPECT_EQ(winsim::FindPrinter(u"Copy")->devMode, winsim::FindPrinter(u"qgrServer")->devMode);
    EXPECT_TRUE(ClosePrinter(added));
    EXPECT_TRUE(ClosePrinter(h));
}

}  // namespace

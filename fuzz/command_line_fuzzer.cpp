// Arbitrary command lines through the whole entry routine on a simulated machine that has the
// product's files beside the installer: every run must end with one of the installer's exit
// codes, the spooler running, and every block and handle it took given back.
#include <windows.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/heap.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "frontend/entry.h"

namespace {

const char16_t kModuleDir[] = u"C:\\Program Files\\Quillgraph\\drv\\";
const char16_t* const kProductFiles[] = {u"vmqmon64.dll", u"vmqdrv64.dll", u"vmqui64.dll", u"vmqhelp.chm",
                                         u"vmqmon32.dll", u"vmqdrv32.dll", u"vmqui32.dll"};
// The words the installer knows, so that most inputs reach an action; the rest of the input is
// appended as it comes.
const char16_t* const kWords[] = {u"in", u"install", u"serverinstall", u"in_notray", u"un", u"uninstall",
                                  u"onInit", u"onChkDrv", u"def.set", u"removetray", u"IN", u""};
const int kExitCodes[] = {1, 2, 3, 4, 6, 100, 101, 102, 103, 200};

void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void SetUpMachine() {
    winsim::Reset();
    winsim::SetModulePath(std::u16string(kModuleDir) + u"install.exe");
    for (const char16_t* name : kProductFiles) {
        std::u16string path = std::u16string(kModuleDir) + name;
        winsim::WriteTestFile(path, winsim::ToUtf8(name));
        winsim::SetProductVersion(path, 1, 0, 0, 2430);
    }
    winsim::SetMonitorDllPorts(u"vmqmon64.dll", {u"QuillgraphServer:"});
    winsim::CreateRegKey(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey);
    winsim::CreateRegKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetUpMachine();
    std::u16string commandLine = u"\"" + std::u16string(kModuleDir) + u"install.exe\"";
    if (size > 0) {
        commandLine += u" ";
        commandLine += kWords[data[0] % (sizeof(kWords) / sizeof(kWords[0]))];
        // The rest as UTF-16 units: blanks, quotes, a window number, any other unit.
        for (size_t i = 1; i + 1 < size; i += 2) commandLine.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    winsim::SetCommandLine(commandLine);
    int code = RunEntry(nullptr, GetCommandLineW());

    bool known = false;
    for (int c : kExitCodes) known = known || c == code;
    if (!known) Fail("unknown exit code");
    if (!winsim::IsServiceRunning(u"spooler")) Fail("spooler left stopped");
    if (winsim::LiveGlobalBlocks() != 0 || winsim::LiveLocalBlocks() != 0 || winsim::LiveHeapBlocks() != 0)
        Fail("blocks left on a heap");
    if (winsim::OpenFileHandles() != 0 || winsim::OpenRegKeys() != 0 || winsim::OpenServiceHandles() != 0 ||
        winsim::OpenHandleCount(winsim::ObjectKind::Printer) != 0)
        Fail("handle left open");
    return 0;
}

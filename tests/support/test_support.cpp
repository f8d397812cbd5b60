#include "support/test_support.h"

#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/heap.h>
#include <winsim/services.h>
#include <winsvc.h>

namespace qgrtest {

const std::vector<std::u16string>& ProductFileNames() {
    static const std::vector<std::u16string> names = {
        u"vmqmon64.dll", u"vmqdrv64.dll", u"vmqui64.dll", u"vmqmon32.dll",
        u"vmqdrv32.dll", u"vmqui32.dll",  u"vmqhelp.chm",
    };
    return names;
}

std::u16string ModuleFile(std::u16string_view name) { return std::u16string(kModuleDir) + std::u16string(name); }

std::string ProductFileBytes(std::u16string_view name) {
    return "stand-in contents of " + winsim::ToUtf8(name) + "\n";
}

winsim::Machine ProductFileMachine(std::u16string_view name) {
    if (name.size() > 6 && name.substr(name.size() - 6) == u"64.dll") return winsim::Machine::X64;
    if (name.size() > 6 && name.substr(name.size() - 6) == u"32.dll") return winsim::Machine::X86;
    return winsim::Machine::None;
}

void ResetMachine() { winsim::Reset(); }

void SetUpHealthyMachine() {
    winsim::Reset();
    winsim::SetModulePath(kModulePath);
    for (const auto& name : ProductFileNames()) {
        winsim::WriteTestFile(ModuleFile(name), ProductFileBytes(name));
        winsim::SetFileMachine(ModuleFile(name), ProductFileMachine(name));
        winsim::SetProductVersion(ModuleFile(name), 1, 0, 0, 2430);
    }
    winsim::SetServiceState(kSpooler, SERVICE_RUNNING);
}

InstallContext BlankContext() {
    InstallContext ctx{};
    return ctx;
}

std::u16string LogText(const InstallContext& ctx) { return std::u16string(TextOf(ctx.log), TextLength(ctx.log)); }

std::vector<std::u16string> LogLines(const InstallContext& ctx) {
    std::vector<std::u16string> lines;
    std::u16string text = LogText(ctx);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u"\r\n", start);
        if (end == std::u16string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::u16string LogLineText(int indent, std::u16string_view text) {
    int levels = indent < 0 ? 0 : (indent > 10 ? 10 : indent);
    return std::u16string(static_cast<size_t>(2 * levels), u' ') + std::u16string(text) + u"\r\n";
}

std::u16string ExpectedLog(std::initializer_list<std::pair<int, std::u16string>> lines) {
    return ExpectedLog(std::vector<std::pair<int, std::u16string>>(lines));
}

std::u16string ExpectedLog(const std::vector<std::pair<int, std::u16string>>& lines) {
    std::u16string log;
    for (const auto& line : lines) log += LogLineText(line.first, line.second);
    return log;
}

std::string Utf8(std::u16string_view text) { return winsim::ToUtf8(text); }

HeapCounts LiveBlocks() {
    return HeapCounts{winsim::LiveGlobalBlocks(), winsim::LiveLocalBlocks(), winsim::LiveHeapBlocks()};
}

void ExpectAllBlocksReleased() {
    HeapCounts live = LiveBlocks();
    EXPECT_EQ(live.global, 0u) << "global heap blocks still allocated";
    EXPECT_EQ(live.local, 0u) << "local heap blocks still allocated";
    EXPECT_EQ(live.heap, 0u) << "process heap blocks still allocated";
    EXPECT_EQ(winsim::HeapOverruns(), 0u) << "a heap block was written past its end";
}

}  // namespace qgrtest

// Shared helpers for the installer's host tests: a healthy simulated machine, the log of a
// context as text or lines, expected logs built from (indent, text) pairs, heap accounting.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/heap.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "run/install_context.h"

namespace qgrtest {

inline constexpr char16_t kModuleDir[] = u"C:\\Program Files\\Quillgraph\\drv\\";
inline constexpr char16_t kModulePath[] = u"C:\\Program Files\\Quillgraph\\drv\\install.exe";
inline constexpr char16_t kSpooler[] = u"spooler";

// The product files laid out beside the installer, in the order of the environment table.
const std::vector<std::u16string>& ProductFileNames();
// kModuleDir + name.
std::u16string ModuleFile(std::u16string_view name);
// Bytes written into each product file by the healthy layout (distinct per file).
std::string ProductFileBytes(std::u16string_view name);

// The real machine type of a product file: vmq*64.dll x64, vmq*32.dll x86, the help file none.
winsim::Machine ProductFileMachine(std::u16string_view name);

// winsim::Reset() only: an empty machine with winsim's defaults.
void ResetMachine();
// Reset, then: module path kModulePath, the product files beside it with product version
// 1.0.0.2430, the spooler service running.
void SetUpHealthyMachine();

// A context with every field zero/empty, as before InitContext; no winsim call is made.
InstallContext BlankContext();

// The log of a context, whole and split into lines (CR LF removed; the text after the last
// CR LF, if any, is a final line).
std::u16string LogText(const InstallContext& ctx);
std::vector<std::u16string> LogLines(const InstallContext& ctx);

// One expected log line: indentation (two spaces per level, capped at 10) + text + CR LF.
std::u16string LogLineText(int indent, std::u16string_view text);
// A whole expected log from (indent, text) pairs.
std::u16string ExpectedLog(std::initializer_list<std::pair<int, std::u16string>> lines);
std::u16string ExpectedLog(const std::vector<std::pair<int, std::u16string>>& lines);

// UTF-8 for readable assertion messages.
std::string Utf8(std::u16string_view text);

// Live blocks of the three heaps (global, local, process heap).
struct HeapCounts {
    size_t global;
    size_t local;
    size_t heap;
};
HeapCounts LiveBlocks();
// Adds a failure naming the heap when any block is still live, or any block was overrun.
void ExpectAllBlocksReleased();

// Fixture: every test starts on a healthy machine and ends without a heap overrun.
class HealthyMachineTest : public ::testing::Test {
protected:
    void SetUp() override { SetUpHealthyMachine(); }
    void TearDown() override { EXPECT_EQ(winsim::HeapOverruns(), 0u) << "a heap block was written past its end"; }
};

}  // namespace qgrtest


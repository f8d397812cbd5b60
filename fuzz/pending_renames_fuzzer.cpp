// Arbitrary bytes as the reboot-time operations value: the scan must stay inside the data,
// delete only plain files scheduled for deletion, and release every block it took.
#include <windows.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/heap.h>
#include <winsim/registry.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "services/pending_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    winsim::Reset();
    // A few files the input may name, so that deletions and directories are reached.
    winsim::WriteTestFile(u"C:\\a", "a");
    winsim::WriteTestFile(u"C:\\b", "b");
    winsim::MakeDirectory(u"C:\\d");
    winsim::SetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue, REG_MULTI_SZ,
                        std::string(reinterpret_cast<const char*>(data), size));

    PendingRenameTable table{nullptr, nullptr, 0};
    ReadPendingRenames(table);
    if (table.pairCount < 0 || (table.pairCount == 0) != (table.paths == nullptr) ||
        (table.pairCount == 0) != (table.isFile == nullptr) ||
        static_cast<size_t>(table.pairCount) * 2 * sizeof(WCHAR) > size + 2) {
        std::fprintf(stderr, "inconsistent table: %d pairs from %zu bytes\n", table.pairCount, size);
        std::abort();
    }
    DeleteScheduledFilesNow(table);
    if (!winsim::DirectoryExists(u"C:\\d")) {
        std::fprintf(stderr, "a directory was deleted\n");
        std::abort();
    }
    FreePendingRenames(table);
    if (winsim::LiveGlobalBlocks() != 0 || winsim::LiveLocalBlocks() != 0 || winsim::LiveHeapBlocks() != 0) {
        std::fprintf(stderr, "blocks left: global %zu local %zu heap %zu\n", winsim::LiveGlobalBlocks(),
                     winsim::LiveLocalBlocks(), winsim::LiveHeapBlocks());
        std::abort();
    }
    return 0;
}

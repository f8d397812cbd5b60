// The removal of the monitor DLL's own scheduled deletions from the reboot-time operations:
// whatever the stored value holds, every other pair and the bytes after the operations must
// stay byte for byte, as a plain model of the rule says.
#include <windows.h>
#include <winsim/core.h>
#include <winsim/heap.h>
#include <winsim/registry.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "services/pending_files.h"

namespace {

const char16_t kPath[] = u"C:\\Windows\\system32\\vmqmon64.dll";

// Pieces the value is built from, so that most inputs hold pairs of ours, near misses and
// pairs of other programs; each input byte picks one.
const char16_t* const kPieces[] = {
    u"\\??\\C:\\Windows\\system32\\vmqmon64.dll", u"\\??\\c:\\windows\\SYSTEM32\\VMQMON64.DLL",
    u"C:\\Windows\\system32\\vmqmon64.dll",       u"\\??\\C:\\Windows\\system32\\vmqmon64.dl",
    u"\\??\\C:\\Other\\a.tmp",                    u"!\\??\\C:\\Other\\b.dll",
    u"\\??\\C:\\Windows\\system32\\vmqmon64.dll\u00e9",
};

std::string Bytes(const std::u16string& units) {
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(char16_t));
}

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool SamePath(std::u16string source, std::u16string_view path) {
    if (source.compare(0, 4, u"\\??\\") == 0) source.erase(0, 4);
    if (source.size() != path.size()) return false;
    for (size_t i = 0; i < path.size(); ++i)
        if (Fold(source[i]) != Fold(path[i])) return false;
    return true;
}

// The rule: pairs up to an empty source or a string without its terminator; a pair whose
// destination is empty and whose source names the path goes; everything else stays as stored.
std::string Expected(const std::string& raw) {
    size_t units = raw.size() / 2;
    auto unit = [&](size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(raw[2 * i]) |
                                     (static_cast<unsigned char>(raw[2 * i + 1]) << 8));
    };
    auto end = [&](size_t i) {
        while (i < units && unit(i) != 0) ++i;
        return i;
    };
    std::string out;
    size_t pos = 0;
    while (pos < units) {
        size_t sourceEnd = end(pos);
        if (sourceEnd == pos || sourceEnd == units) break;
        size_t destinationEnd = end(sourceEnd + 1);
        if (destinationEnd == units) break;
        std::u16string source;
        for (size_t i = pos; i < sourceEnd; ++i) source.push_back(unit(i));
        bool ours = destinationEnd == sourceEnd + 1 && SamePath(source, kPath);
        if (!ours) out += raw.substr(2 * pos, 2 * (destinationEnd + 1 - pos));
        pos = destinationEnd + 1;
    }
    out += raw.substr(2 * pos);
    return out;
}

void Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t kPieceCount = sizeof(kPieces) / sizeof(kPieces[0]);
    std::u16string value;
    bool oddByte = false;
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = data[i];
        if (b < kPieceCount) value += kPieces[b];
        else if (b < 0x40) value.push_back(0);           // a terminator
        else if (b == 0xFF) oddByte = true;              // a value of odd length
        else value.push_back(static_cast<char16_t>(b));  // any other unit
    }
    std::string raw = Bytes(value);
    if (oddByte) raw.push_back('\x01');

    winsim::Reset();
    winsim::SetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue, REG_MULTI_SZ,
                        raw);
    int removed = RemoveScheduledDeletesOf(reinterpret_cast<LPCWSTR>(kPath));
    if (removed < 0) Fail("the rewrite failed on a healthy machine");

    std::string expected = Expected(raw);
    if ((removed == 0) != (expected == raw)) Fail("the count of removed deletions disagrees with the model");
    DWORD type = 0;
    std::string stored;
    bool present = winsim::GetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue,
                                       &type, &stored);
    if (removed == 0) {
        if (!present || stored != raw) Fail("a value without our deletions was changed");
    } else if (expected.find_first_not_of('\0') == std::string::npos) {
        if (present) Fail("a value left without operations was kept");
    } else if (!present || type != REG_MULTI_SZ || stored != expected) {
        Fail("the rewritten value differs from the model");
    }
    if (winsim::LiveGlobalBlocks() != 0 || winsim::LiveLocalBlocks() != 0 || winsim::LiveHeapBlocks() != 0)
        Fail("blocks left on a heap");
    if (winsim::OpenRegKeys() != 0) Fail("a key left open");
    return 0;
}

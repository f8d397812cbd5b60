// FormatMessageW over the en-US system message table for the codes the installer meets.
#include <winsim/core.h>
#include <winsim/messages.h>

#include <map>

#include "kernel_internal.h"

namespace winsim {
namespace {

const std::map<DWORD, const char16_t*>& SystemTexts() {
    static const std::map<DWORD, const char16_t*> texts = {
        {0, u"The operation completed successfully."},
        {1, u"Incorrect function."},
        {2, u"The system cannot find the file specified."},
        {3, u"The system cannot find the path specified."},
        {4, u"The system cannot open the file."},
        {5, u"Access is denied."},
        {6, u"The handle is invalid."},
        {8, u"Not enough memory resources are available to process this command."},
        {13, u"The data is invalid."},
        {14, u"Not enough memory resources are available to complete this operation."},
        {17, u"The system cannot move the file to a different disk drive."},
        {29, u"The system cannot write to the specified device."},
        {30, u"The system cannot read from the specified device."},
        {32, u"The process cannot access the file because it is being used by another process."},
        {39, u"The disk is full."},
        {50, u"The request is not supported."},
        {80, u"The file exists."},
        {87, u"The parameter is incorrect."},
        {112, u"There is not enough space on the disk."},
        {122, u"The data area passed to a system call is too small."},
        {123, u"The filename, directory name, or volume label syntax is incorrect."},
        {124, u"The system call level is not correct."},
        {126, u"The specified module could not be found."},
        {127, u"The specified procedure could not be found."},
        {193, u"%1 is not a valid Win32 application."},
        {183, u"Cannot create a file when that file already exists."},
        {206, u"The filename or extension is too long."},
        {234, u"More data is available."},
        {258, u"The wait operation timed out."},
        {259, u"No more data is available."},
        {1004, u"Invalid flags."},
        {1051, u"A stop control has been sent to a service that other running services are dependent on."},
        {1052, u"The requested control is not valid for this service."},
        {1053, u"The service did not respond to the start or control request in a timely fashion."},
        {1055, u"The service database is locked."},
        {1056, u"An instance of the service is already running."},
        {1058, u"The service cannot be started, either because it is disabled or because it has no enabled "
               u"devices associated with it."},
        {1060, u"The specified service does not exist as an installed service."},
        {1061, u"The service cannot accept control messages at this time."},
        {1062, u"The service has not been started."},
        {1237, u"The operation could not be completed. A retry should be performed."},
        {1400, u"Invalid window handle."},
        {1722, u"The RPC server is unavailable."},
        {1796, u"The specified port is unknown."},
        {1797, u"The printer driver is unknown."},
        {1798, u"The print processor is unknown."},
        {1799, u"The specified separator file is invalid."},
        {1800, u"The specified priority is invalid."},
        {1801, u"The printer name is invalid."},
        {1802, u"The printer already exists."},
        {1803, u"The printer command is invalid."},
        {1804, u"The specified datatype is invalid."},
        {1805, u"The environment specified is invalid."},
        {1906, u"The state of the printer is invalid."},
        {1812, u"The specified image file did not contain a resource section."},
        {1813, u"The specified resource type cannot be found in the image file."},
        {3000, u"The specified print monitor is unknown."},
        {3001, u"The specified printer driver is currently in use."},
        {3006, u"The specified print monitor has already been installed."},
        {3007, u"The specified print monitor does not have the required functions."},
        {3008, u"The specified print monitor is currently in use."},
        {3010, u"The requested operation is successful.  Changes will not be effective until the system is "
               u"rebooted."},
        {0x80004005, u"Unspecified error"},
    };
    return texts;
}

struct MessageState {
    std::map<DWORD, std::u16string> replaced;  // full texts, line break included or not
    std::map<DWORD, bool> removed;
};

MessageState& State() {
    static MessageState state;
    return state;
}

ResetHook messagesReset(0, [] { State() = MessageState{}; });

// The text FormatMessageW gives for a code, or false when the table has none.
bool Lookup(DWORD code, std::u16string* text) {
    // FACILITY_WIN32 HRESULTs carry a Win32 code.
    if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFF;
    if (State().removed.count(code)) return false;
    auto r = State().replaced.find(code);
    if (r != State().replaced.end()) {
        *text = r->second;
        return true;
    }
    auto it = SystemTexts().find(code);
    if (it == SystemTexts().end()) return false;
    *text = std::u16string(it->second) + u"\r\n";
    return true;
}

}  // namespace

void SetMessageText(DWORD code, std::u16string text) {
    State().removed.erase(code);
    State().replaced[code] = std::move(text);
}

void RemoveMessageText(DWORD code) {
    State().replaced.erase(code);
    State().removed[code] = true;
}

std::u16string SystemMessageText(DWORD code) {
    std::u16string text;
    return Lookup(code, &text) ? text : std::u16string();
}

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                            DWORD nSize, void* Arguments) {
    (void)lpSource;
    (void)Arguments;
    RecordCall("FormatMessageW", kernel::Hex(dwFlags) + u"," + kernel::Dec(dwMessageId) + u"," +
                                     kernel::Hex(dwLanguageId));
    if (TakeFault("FormatMessageW")) return 0;
    bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    // Only the system table is modelled; messages with inserts are not in it.
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) ||
        !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD kMuiFileNotFound = 15100;  // no message resources in that language
    WORD primary = dwLanguageId & 0x3FF;
    if (primary != LANG_NEUTRAL && primary != 0x09 /*LANG_ENGLISH*/) {
        SetLastError(kMuiFileNotFound);
        return 0;
    }
    std::u16string text;
    if (!Lookup(dwMessageId, &text)) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    // A maximum width drops the message's own line breaks, the final one included.
    if ((dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0) {
        while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n')) text.pop_back();
    }
    DWORD length = static_cast<DWORD>(text.size());
    if (allocate) {
        DWORD chars = length + 1 > nSize ? length + 1 : nSize;
        auto* block = static_cast<WCHAR*>(kernel::AccountedLocalAlloc(chars * sizeof(WCHAR), true));
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        text.copy(block, length);
        block[length] = 0;
        *reinterpret_cast<LPWSTR*>(lpBuffer) = block;
        return length;
    }
    if (nSize < length + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    text.copy(lpBuffer, length);
    lpBuffer[length] = 0;
    return length;
}

}  // extern "C"

// Copying one product file from the installer's directory into a target directory.
#include "services/file_copy.h"

#include "run/install_context.h"
#include "run/text_compare.h"

namespace {

const DWORD kCopyChunk = 8192;
const int kOpenAttempts = 100;
const DWORD kOpenRetryMs = 50;
const DWORD kOpenTimeoutMs = 10000;

// directory + '\' (unless empty or already there) + name, in a fresh process-heap block: the
// inputs have no length bound, so the stack is no place for them.
LPWSTR JoinPath(LPCWSTR directory, LPCWSTR name) {
    int dirLength = directory ? lstrlenW(directory) : 0;
    int nameLength = name ? lstrlenW(name) : 0;
    SIZE_T units = static_cast<SIZE_T>(dirLength) + 1 + static_cast<SIZE_T>(nameLength) + 1;
    LPWSTR path = static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, units * sizeof(WCHAR)));
    if (path == nullptr) return nullptr;
    if (dirLength > 0) {
        lstrcatW(path, directory);
        if (directory[dirLength - 1] != TEXT('\\')) lstrcatW(path, TEXT("\\"));
    }
    if (nameLength > 0) lstrcatW(path, name);
    return path;
}

void FreePath(LPWSTR path) {
    if (path == nullptr) return;
    DWORD saved = GetLastError();
    HeapFree(GetProcessHeap(), 0, path);
    SetLastError(saved);
}

void CloseFileQuietly(HANDLE file) {
    DWORD saved = GetLastError();
    CloseHandle(file);
    SetLastError(saved);
}

}  // namespace

HANDLE CreateFileWithTimeout(InstallContext& ctx, LPCWSTR path) {
    DWORD start = GetTickCount();
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        if (static_cast<DWORD>(GetTickCount() - start) > kOpenTimeoutMs) {
            // The caller's error line describes the failed open, not this line.
            DWORD saved = GetLastError();
            LogPrint(ctx, TEXT("CreateFile - timeout"));
            SetLastError(saved);
            return INVALID_HANDLE_VALUE;
        }
        if (attempt < kOpenAttempts) Sleep(kOpenRetryMs);
    }
    return INVALID_HANDLE_VALUE;
}

HRESULT CopyFileToDir(InstallContext& ctx, LPCWSTR destinationDir, LPCWSTR fileName, LPWSTR outPath,
                      DWORD outCapacity, bool reportOpenErrors) {
    LogPrint(ctx, TEXT(">CopyFile %s to %s [%d])"), fileName, destinationDir, reportOpenErrors ? 1 : 0);
    ctx.logIndent += 1;
    HRESULT result = E_FAIL;
    LPWSTR source = JoinPath(TextOf(ctx.moduleDir), fileName);
    LPWSTR destination = JoinPath(destinationDir, fileName);

    if (source == nullptr || destination == nullptr) {
        if (outPath != nullptr && outCapacity > 0) outPath[0] = 0;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        if (reportOpenErrors) LogError(ctx, kErrCopyFile, TEXT("CopyFile(..,%s)"), fileName);
    } else if (outPath != nullptr && static_cast<DWORD>(lstrlenW(destination)) >= outCapacity) {
        // The caller's buffer cannot hold the path: copying would leave it without a usable name.
        if (outCapacity > 0) outPath[0] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        LogError(ctx, kErrCopyFile, TEXT("CopyFile(..,%s)"), destination);
    } else {
        if (outPath != nullptr) lstrcpyW(outPath, destination);
        // An empty directory leaves a bare name, which would be taken from or written to
        // whatever the current directory is: such an end counts as one that does not open.
        bool sourceFull = IsFullPath(source);
        bool destinationFull = IsFullPath(destination);
        HANDLE in = INVALID_HANDLE_VALUE;
        if (sourceFull && destinationFull)
            in = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        else
            SetLastError(ERROR_PATH_NOT_FOUND);
        if (!sourceFull || (destinationFull && in == INVALID_HANDLE_VALUE)) {
            if (reportOpenErrors) LogError(ctx, kErrOpenSource, TEXT("Cant't open source file: %s"), fileName);
        } else if (!destinationFull) {
            if (reportOpenErrors)
                LogError(ctx, kErrOpenDestination, TEXT("Cant't open destination file: %s"), destination);
        } else {
            HANDLE out = CreateFileWithTimeout(ctx, destination);
            if (out == INVALID_HANDLE_VALUE) {
                if (reportOpenErrors)
                    LogError(ctx, kErrOpenDestination, TEXT("Cant't open destination file: %s"), destination);
            } else {
                result = S_OK;
                BYTE chunk[kCopyChunk];
                for (;;) {
                    DWORD read = 0;
                    if (!ReadFile(in, chunk, kCopyChunk, &read, nullptr)) {
                        // A destination cut short must not pass for a copy.
                        LogError(ctx, kErrCopyFile, TEXT("CopyFile(..,%s)"), destination);
                        result = E_FAIL;
                        break;
                    }
                    if (read > 0) {
                        DWORD written = 0;
                        BOOL ok = WriteFile(out, chunk, read, &written, nullptr);
                        if (!ok || written != read) {
                            LogError(ctx, kErrCopyFile, TEXT("CopyFile(..,%s)"), destination);
                            result = E_FAIL;
                            break;
                        }
                    }
                    if (read != kCopyChunk) break;
                }
                CloseFileQuietly(out);
            }
            CloseFileQuietly(in);
        }
    }
    FreePath(source);
    FreePath(destination);
    LogPrint(ctx, result == S_OK ? TEXT("Copy Succeeded :)") : TEXT("Copy Failed :("));
    ctx.logIndent -= 1;
    return result;
}

bool IsExistingFile(LPCWSTR path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

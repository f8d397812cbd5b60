// Copying one product file from the installer's directory into a target directory.
#include "services/file_copy.h"

#include "run/install_context.h"
#include "run/owned.h"
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

}  // namespace

HANDLE CreateFileWithTimeout(InstallContext& ctx, LPCWSTR path) {
    DWORD start = GetTickCount();
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        if (static_cast<DWORD>(GetTickCount() - start) > kOpenTimeoutMs) {
            LogPrint(ctx, "CreateFile - timeout");  // keeps the failed open's error
            return INVALID_HANDLE_VALUE;
        }
        if (attempt < kOpenAttempts) Sleep(kOpenRetryMs);
    }
    return INVALID_HANDLE_VALUE;
}

namespace {

// Copies between two paths that both name their directory; an error line for what went wrong.
HRESULT CopyBetween(InstallContext& ctx, LPCWSTR source, LPCWSTR destination, LPCWSTR fileName,
                    bool reportOpenErrors) {
    // An empty directory leaves a bare name, which would be taken from or written to whatever the
    // current directory is: such an end counts as one that does not open.
    bool sourceFull = IsFullPath(source);
    bool destinationFull = IsFullPath(destination);
    OwnedFile in;
    if (sourceFull && destinationFull)
        in.reset(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    else
        SetLastError(ERROR_PATH_NOT_FOUND);
    if (!sourceFull || (destinationFull && !in)) {
        if (reportOpenErrors) LogError(ctx, kErrOpenSource, "Cant't open source file: %s", fileName);
        return E_FAIL;
    }
    if (!destinationFull) {
        if (reportOpenErrors) LogError(ctx, kErrOpenDestination, "Cant't open destination file: %s", destination);
        return E_FAIL;
    }
    OwnedFile out(CreateFileWithTimeout(ctx, destination));
    if (!out) {
        if (reportOpenErrors) LogError(ctx, kErrOpenDestination, "Cant't open destination file: %s", destination);
        return E_FAIL;
    }
    BYTE chunk[kCopyChunk];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in.get(), chunk, kCopyChunk, &read, nullptr)) {
            // A destination cut short must not pass for a copy.
            LogError(ctx, kErrCopyFile, "CopyFile(..,%s)", destination);
            return E_FAIL;
        }
        if (read > 0) {
            DWORD written = 0;
            BOOL ok = WriteFile(out.get(), chunk, read, &written, nullptr);
            if (!ok || written != read) {
                LogError(ctx, kErrCopyFile, "CopyFile(..,%s)", destination);
                return E_FAIL;
            }
        }
        if (read != kCopyChunk) return S_OK;
    }
}

HRESULT CopyIntoDir(InstallContext& ctx, LPCWSTR destinationDir, LPCWSTR fileName, LPWSTR outPath,
                    DWORD outCapacity, bool reportOpenErrors) {
    OwnedHeap<WCHAR> source(JoinPath(TextOf(ctx.moduleDir), fileName));
    OwnedHeap<WCHAR> destination(JoinPath(destinationDir, fileName));
    if (!source || !destination) {
        if (outPath != nullptr && outCapacity > 0) outPath[0] = 0;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        if (reportOpenErrors) LogError(ctx, kErrCopyFile, "CopyFile(..,%s)", fileName);
        return E_FAIL;
    }
    if (outPath != nullptr && static_cast<DWORD>(lstrlenW(destination.get())) >= outCapacity) {
        // The caller's buffer cannot hold the path: copying would leave it without a usable name.
        if (outCapacity > 0) outPath[0] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        LogError(ctx, kErrCopyFile, "CopyFile(..,%s)", destination.get());
        return E_FAIL;
    }
    if (outPath != nullptr) lstrcpyW(outPath, destination.get());
    return CopyBetween(ctx, source.get(), destination.get(), fileName, reportOpenErrors);
}

}  // namespace

HRESULT CopyFileToDir(InstallContext& ctx, LPCWSTR destinationDir, LPCWSTR fileName, LPWSTR outPath,
                      DWORD outCapacity, bool reportOpenErrors) {
    LogSection section(ctx, ">CopyFile %s to %s [%d])", fileName, destinationDir, reportOpenErrors ? 1 : 0);
    HRESULT result = CopyIntoDir(ctx, destinationDir, fileName, outPath, outCapacity, reportOpenErrors);
    LogPrint(ctx, result == S_OK ? "Copy Succeeded :)" : "Copy Failed :(");
    return result;
}

bool IsExistingFile(LPCWSTR path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

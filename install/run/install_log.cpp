// Formatting and the run's log lines.
#include "run/install_log.h"

#include "run/install_context.h"

namespace {

const int kLineUnits = 1024;
const LONG kMaxIndentLevels = 10;

struct Output {
    LPWSTR buffer;
    int capacity;
    int used;
};

void Put(Output& out, WCHAR c) {
    if (out.used + 1 < out.capacity) out.buffer[out.used++] = c;
}

void PutText(Output& out, LPCWSTR text) {
    if (text == nullptr) text = TEXT("(null)");
    for (; *text; ++text) Put(out, *text);
}

void PutNumber(Output& out, uint64_t value, unsigned base, bool negative) {
    WCHAR digits[24];
    int n = 0;
    do {
        unsigned d = static_cast<unsigned>(value % base);
        digits[n++] = static_cast<WCHAR>(d < 10 ? TEXT('0') + d : TEXT('a') + d - 10);
        value /= base;
    } while (value != 0);
    if (negative) Put(out, TEXT('-'));
    while (n > 0) Put(out, digits[--n]);
}

}  // namespace

int FormatTextV(LPWSTR buffer, int capacity, LPCSTR format, va_list args) {
    if (buffer == nullptr || capacity <= 0) return 0;
    Output out{buffer, capacity, 0};
    for (LPCSTR p = format ? format : ""; *p; ++p) {
        if (*p != '%') {
            Put(out, static_cast<WCHAR>(static_cast<unsigned char>(*p)));
            continue;
        }
        WCHAR conversion = static_cast<unsigned char>(p[1]);
        if (conversion == 0) break;
        ++p;
        switch (conversion) {
            case TEXT('d'): {
                int value = va_arg(args, int);
                int64_t wide = value;
                PutNumber(out, static_cast<uint64_t>(wide < 0 ? -wide : wide), 10, wide < 0);
                break;
            }
            case TEXT('u'):
                PutNumber(out, va_arg(args, unsigned int), 10, false);
                break;
            case TEXT('x'):
                PutNumber(out, va_arg(args, unsigned int), 16, false);
                break;
            case TEXT('s'):
                PutText(out, va_arg(args, LPCWSTR));
                break;
            case TEXT('%'):
                Put(out, TEXT('%'));
                break;
            default:
                Put(out, TEXT('%'));
                Put(out, conversion);
                break;
        }
    }
    buffer[out.used] = 0;
    return out.used;
}

int FormatText(LPWSTR buffer, int capacity, LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatTextV(buffer, capacity, format, args);
    va_end(args);
    return n;
}

void LogLine(InstallContext& ctx, LPCWSTR text) {
    // A line written between a failing call and its error line must not change what that
    // line describes.
    DWORD lastError = GetLastError();
    if (ctx.logIndent != 0) {
        LONG levels = ctx.logIndent < kMaxIndentLevels ? ctx.logIndent : kMaxIndentLevels;
        if (levels > 0) {
            WCHAR indent[2 * kMaxIndentLevels + 1];
            for (LONG i = 0; i < 2 * levels; ++i) indent[i] = TEXT(' ');
            indent[2 * levels] = 0;
            Append(ctx.log, indent);
        }
    }
    if (text != nullptr && text[0] != 0) Append(ctx.log, text);
    uint64_t length = TextLength(ctx.log);
    Resize(ctx.log, length + 2);
    if (TextLength(ctx.log) == length + 2) {
        ctx.log->text[length] = TEXT('\r');
        ctx.log->text[length + 1] = TEXT('\n');
    }
    SetLastError(lastError);
}

void LogPrintV(InstallContext& ctx, LPCSTR format, va_list args) {
    WCHAR line[kLineUnits];
    FormatTextV(line, kLineUnits, format, args);
    LogLine(ctx, line);
}

void LogPrint(InstallContext& ctx, LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    LogPrintV(ctx, format, args);
    va_end(args);
}

LogSection::LogSection(InstallContext& ctx, LPCSTR format, ...) : ctx_(ctx), levels_(1) {
    va_list args;
    va_start(args, format);
    LogPrintV(ctx_, format, args);
    va_end(args);
    ctx_.logIndent += levels_;
}

LogSection::LogSection(InstallContext& ctx, LONG levels, LPCSTR format, ...) : ctx_(ctx), levels_(levels) {
    va_list args;
    va_start(args, format);
    LogPrintV(ctx_, format, args);
    va_end(args);
    ctx_.logIndent += levels_;
}

LogSection::~LogSection() { ctx_.logIndent -= levels_; }

OwnedLocal<WCHAR> SystemErrorText(DWORD error) {
    DWORD lastError = GetLastError();
    LPWSTR text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, error, 1033, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    OwnedLocal<WCHAR> owned(text);
    if (length == 0) owned.reset();
    SetLastError(lastError);
    return owned;
}

void LogError(InstallContext& ctx, int code, LPCSTR format, ...) {
    // Read first: nothing below may change the value the failing call left.
    DWORD lastError = GetLastError();
    WCHAR line[kLineUnits];
    int used = FormatText(line, kLineUnits, "Error(%d): ", code);
    va_list args;
    va_start(args, format);
    used += FormatTextV(line + used, kLineUnits - used, format, args);
    va_end(args);

    OwnedLocal<WCHAR> description = SystemErrorText(lastError);
    if (description) {
        LPWSTR text = description.get();
        int end = lstrlenW(text);
        while (end > 0 && (text[end - 1] == TEXT('\r') || text[end - 1] == TEXT('\n'))) text[--end] = 0;
    }
    if (lastError != 0) {
        if (description)
            FormatText(line + used, kLineUnits - used, " - (%s)", description.get());
        else
            FormatText(line + used, kLineUnits - used, " - ( No Description )");
    }
    LogLine(ctx, line);
    ctx.errorCount += 1;
    description.reset();
    SetLastError(lastError);
}

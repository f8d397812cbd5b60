// TextBuffer: one block from the process heap holding the length, the text and a zero.
#include "run/text_buffer.h"

namespace {

const uint64_t kCapacityStep = 32;

SIZE_T BlockBytes(uint64_t capacity) {
    return static_cast<SIZE_T>(sizeof(uint64_t) + capacity * sizeof(WCHAR));
}

void CopyUnits(WCHAR* to, const WCHAR* from, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) to[i] = from[i];
}

}  // namespace

uint64_t TextCapacity(uint64_t length) {
    return (length + 1 + kCapacityStep - 1) / kCapacityStep * kCapacityStep;
}

void Resize(TextBuffer& buffer, uint64_t length) {
    if (length == 0) {
        FreeText(buffer);
        return;
    }
    if (buffer == nullptr) {
        void* block = HeapAlloc(GetProcessHeap(), 0, BlockBytes(TextCapacity(length)));
        if (block == nullptr) return;  // no recovery: the text stays empty
        buffer = static_cast<TextBlock*>(block);
    } else if (TextCapacity(length) != TextCapacity(buffer->length)) {
        void* block = HeapReAlloc(GetProcessHeap(), 0, buffer, BlockBytes(TextCapacity(length)));
        // A text that cannot grow stays as it was; one that cannot shrink keeps its larger block,
        // or it would go on with units nobody wrote.
        if (block == nullptr && length > buffer->length) return;
        if (block != nullptr) buffer = static_cast<TextBlock*>(block);
    }
    buffer->text[length] = 0;
    buffer->length = length;
}

void FreeText(TextBuffer& buffer) {
    if (buffer != nullptr) HeapFree(GetProcessHeap(), 0, buffer);
    buffer = nullptr;
}

void Assign(TextBuffer& buffer, LPCWSTR text) {
    int length = text ? lstrlenW(text) : 0;
    if (length == 0) {
        FreeText(buffer);
        return;
    }
    Resize(buffer, static_cast<uint64_t>(length));
    if (buffer != nullptr && buffer->length == static_cast<uint64_t>(length))
        CopyUnits(buffer->text, text, static_cast<uint64_t>(length));
}

bool Append(TextBuffer& buffer, LPCWSTR text) {
    int length = text ? lstrlenW(text) : 0;
    if (length == 0) return true;
    uint64_t old = TextLength(buffer);
    Resize(buffer, old + static_cast<uint64_t>(length));
    if (buffer == nullptr || buffer->length != old + static_cast<uint64_t>(length)) return false;
    CopyUnits(buffer->text + old, text, static_cast<uint64_t>(length));
    return true;
}

TextBuffer CopyText(const TextBuffer& source) {
    TextBuffer copy = nullptr;
    if (source == nullptr) return copy;
    Resize(copy, source->length);
    if (copy != nullptr) CopyUnits(copy->text, source->text, source->length);
    return copy;
}

TextBuffer FromAnsi(LPCSTR text) {
    TextBuffer result = nullptr;
    int count = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
    if (count < 2) return result;
    Resize(result, static_cast<uint64_t>(count - 1));
    if (result == nullptr) return result;
    // The count includes the terminator, which lands in the block's own terminator unit.
    if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, result->text, count) == 0) FreeText(result);
    return result;
}

TextBuffer ParentPath(const TextBuffer& source) {
    TextBuffer result = nullptr;
    if (source == nullptr) return result;
    int64_t cut = -1;
    for (uint64_t i = 0; i < source->length; ++i)
        if (source->text[i] == TEXT('\\')) cut = static_cast<int64_t>(i);
    if (cut < 0) {
        for (uint64_t i = 0; i < source->length; ++i)
            if (source->text[i] == TEXT('/')) cut = static_cast<int64_t>(i);
    }
    if (cut <= 0) return result;
    Resize(result, static_cast<uint64_t>(cut));
    if (result != nullptr) CopyUnits(result->text, source->text, static_cast<uint64_t>(cut));
    return result;
}

LPCWSTR TextOf(const TextBuffer& buffer) { return buffer ? buffer->text : TEXT(""); }

uint64_t TextLength(const TextBuffer& buffer) { return buffer ? buffer->length : 0; }

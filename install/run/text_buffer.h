// The installer's growable UTF-16 text.
#pragma once

#include <windows.h>

#include <cstdint>

// One heap block: the length, then the text and its terminating zero.
struct TextBlock {
    uint64_t length;
    WCHAR text[1];
};
// Null is the empty text; a block never holds the empty text.
typedef TextBlock* TextBuffer;

// Units of capacity for a text of length n (multiple of 32, room for the terminator).
uint64_t TextCapacity(uint64_t length);
void Resize(TextBuffer& buffer, uint64_t length);
void Assign(TextBuffer& buffer, LPCWSTR text);
// False when memory ran out: the text is then as it was.
bool Append(TextBuffer& buffer, LPCWSTR text);
void FreeText(TextBuffer& buffer);
TextBuffer CopyText(const TextBuffer& source);
TextBuffer FromAnsi(LPCSTR text);
TextBuffer ParentPath(const TextBuffer& source);
// The text, or an empty string for the empty text; never null.
LPCWSTR TextOf(const TextBuffer& buffer);
uint64_t TextLength(const TextBuffer& buffer);

#include <winsim/core.h>
#include <winsim/heap.h>

#include <string>

#include "run/install_log.h"
#include "support/test_support.h"

namespace {

using qgrtest::ExpectAllBlocksReleased;

std::u16string Text(const TextBuffer& buffer) { return std::u16string(TextOf(buffer), TextLength(buffer)); }

std::u16string Units(size_t n, char16_t c = u'x') { return std::u16string(n, c); }

class TextBufferTest : public ::testing::Test {
protected:
    void SetUp() override { qgrtest::ResetMachine(); }
};

TEST_F(TextBufferTest, BlockSizeFollowsCapacityStepsOf32Units) {
    TextBuffer buffer = nullptr;
    Assign(buffer, Units(31).c_str());
    EXPECT_EQ(winsim::HeapBlockSize(buffer), 8u + 64u);
    Append(buffer, u"y");
    EXPECT_EQ(TextLength(buffer), 32u);
    EXPECT_EQ(winsim::HeapBlockSize(buffer), 8u + 128u);
    EXPECT_EQ(Text(buffer), Units(31) + u"y");
    Resize(buffer, 31);
    EXPECT_EQ(winsim::HeapBlockSize(buffer), 8u + 64u);
    EXPECT_EQ(Text(buffer), Units(31));
    Resize(buffer, 1);
    EXPECT_EQ(winsim::HeapBlockSize(buffer), 8u + 64u);
    Resize(buffer, 95);
    EXPECT_EQ(winsim::HeapBlockSize(buffer), 8u + 2u * 96u);
    Resize(buffer, 96);
    EXPECT_EQ(winsim::HeapBlockSize(buffer), 8u + 2u * 128u);
    FreeText(buffer);
    EXPECT_EQ(buffer, nullptr);
    ExpectAllBlocksReleased();
}

TEST_F(TextBufferTest, ReallocatesOnlyWhenTheCapacityChanges) {
    TextBuffer buffer = nullptr;
    Assign(buffer, u"a");
    size_t before = winsim::HeapReallocations();
    for (int i = 0; i < 30; ++i) Append(buffer, u"b");  // lengths 2..31: one capacity
    EXPECT_EQ(winsim::HeapReallocations(), before);
    Append(buffer, u"c");
    EXPECT_EQ(winsim::HeapReallocations(), before + 1);
    FreeText(buffer);
}

TEST_F(TextBufferTest, EmptyTextsReleaseOrKeepNoBlock) {
    TextBuffer buffer = nullptr;
    Append(buffer, u"");
    Append(buffer, nullptr);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(winsim::LiveHeapBlocks(), 0u);

    Assign(buffer, u"text");
    ASSERT_NE(buffer, nullptr);
    Append(buffer, u"");
    EXPECT_EQ(Text(buffer), u"text");
    Assign(buffer, u"");
    EXPECT_EQ(buffer, nullptr);
    Assign(buffer, u"again");
    Assign(buffer, nullptr);
    EXPECT_EQ(buffer, nullptr);
    Assign(buffer, u"more");
    Resize(buffer, 0);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(TextOf(buffer)[0], u'\0');
    ExpectAllBlocksReleased();
}

TEST_F(TextBufferTest, CopyIsDeepWithTheSameBlockSize) {
    TextBuffer source = nullptr;
    Assign(source, Units(40).c_str());
    TextBuffer copy = CopyText(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, source);
    EXPECT_EQ(winsim::HeapBlockSize(copy), winsim::HeapBlockSize(source));
    Append(source, u"changed");
    EXPECT_EQ(Text(copy), Units(40));
    FreeText(source);
    FreeText(copy);
    TextBuffer none = nullptr;
    EXPECT_EQ(CopyText(none), nullptr);
    ExpectAllBlocksReleased();
}

TEST_F(TextBufferTest, FromAnsiConvertsCodePage1252) {
    TextBuffer empty = FromAnsi("");
    EXPECT_EQ(empty, nullptr);
    TextBuffer text = FromAnsi("Caf\xe9 \x80 5");
    EXPECT_EQ(Text(text), u"Caf\u00e9 \u20ac 5");
    EXPECT_EQ(TextLength(text), 8u);
    FreeText(text);
    ExpectAllBlocksReleased();
}

TEST_F(TextBufferTest, FormatTextHandlesEachConversion) {
    WCHAR out[64];
    EXPECT_EQ(FormatText(out, 64, "%d|%d|%x|%u|%s|%%", -42, 2430, 1062u, 7u, u"abc"), 20);
    EXPECT_EQ(std::u16string(out), u"-42|2430|426|7|abc|%");
    FormatText(out, 64, "%d %x", static_cast<int>(0x80000000u), 0xFFFFFFFFu);
    EXPECT_EQ(std::u16string(out), u"-2147483648 ffffffff");
    FormatText(out, 64, "[%s]", static_cast<LPCWSTR>(nullptr));
    EXPECT_EQ(std::u16string(out), u"[(null)]");
}

TEST_F(TextBufferTest, FormatTextCutsAtTheCapacity) {
    WCHAR out[8];
    for (WCHAR& c : out) c = u'#';
    EXPECT_EQ(FormatText(out, 5, "%s", u"abcdefgh"), 4);
    EXPECT_EQ(std::u16string(out), u"abcd");
    EXPECT_EQ(out[5], u'#');  // nothing written past the capacity

    std::u16string longLine(1500, u'z');
    std::u16string big(1100, u'#');
    EXPECT_EQ(FormatText(&big[0], 1024, "%s", longLine.c_str()), kMaxLogLine);
    EXPECT_EQ(big[1023], u'\0');
    EXPECT_EQ(big[1024], u'#');
}

}  // namespace

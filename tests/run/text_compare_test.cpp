// Near misses for the helpers that decide which file is deleted and which command runs.
#include <string>

#include "run/text_buffer.h"
#include "run/text_compare.h"
#include "support/test_support.h"

namespace {

using qgrtest::ExpectAllBlocksReleased;

struct CompareCase {
    std::u16string a;
    std::u16string b;
    bool exact;
    bool folded;
};

const CompareCase kCompareCases[] = {
    {u"Quillgraph Server", u"Quillgraph Server", true, true},
    {u"", u"", true, true},
    {u"x", u"x", true, true},
    {u"x", u"y", false, false},
    {u"x", u"", false, false},
    {u"", u"x", false, false},
    {u"Quillgraph Server", u"Xuillgraph Server", false, false},  // first unit
    {u"Quillgraph Server", u"Quillgraph ServeX", false, false},  // last unit
    {u"Quillgraph Server", u"quillgraph server", false, true},   // case of A to Z
    {u"in", u"IN", false, true},
    {u"\u00c9t\u00e9", u"\u00e9t\u00e9", false, false},  // a letter outside A to Z keeps its case
    {u"\u0130n", u"in", false, false},                    // dotted capital I is not folded
    {u"\u212a", u"k", false, false},                      // Kelvin sign is not folded
    {u"[", u"{", false, false},                           // neighbours of the letters stay apart
    {u"@", u"`", false, false},
    {u"Quillgraph Server", u"Quillgraph Server ", false, false},  // suffix
    {u"Quillgraph Server", u"Quillgraph Serve", false, false},    // prefix of the other
    {u"Quillgraph Server", u"xQuillgraph Server", false, false},
    {u"def.set", u"def\u00adset", false, false},  // a soft hyphen is a unit like any other
    {u"vmqmon64.dll", u"VMQMON64.DLL", false, true},
};

TEST(TextCompareTest, ComparisonsOfNearMisses) {
    for (const CompareCase& c : kCompareCases) {
        SCOPED_TRACE(qgrtest::Utf8(c.a) + " | " + qgrtest::Utf8(c.b));
        EXPECT_EQ(SameText(c.a.c_str(), c.b.c_str()), c.exact);
        EXPECT_EQ(SameText(c.b.c_str(), c.a.c_str()), c.exact);
        EXPECT_EQ(SameTextIgnoringAsciiCase(c.a.c_str(), c.b.c_str()), c.folded);
        EXPECT_EQ(SameTextIgnoringAsciiCase(c.b.c_str(), c.a.c_str()), c.folded);
    }
    EXPECT_FALSE(SameText(nullptr, u"x"));
    EXPECT_FALSE(SameText(u"", nullptr));
    EXPECT_FALSE(SameTextIgnoringAsciiCase(nullptr, nullptr));
}

TEST(TextCompareTest, FileNameParentAndFullnessOfPaths) {
    struct Case {
        std::u16string path;
        std::u16string name;
        std::u16string parent;
        bool full;  // names its root: a drive with its separator, or a "\\" share
    } cases[] = {
        {u"a\\b", u"b", u"a", false},
        {u"\\a/b", u"b", u"", false},  // a backslash decides; the one at the start leaves no parent
        {u"C:\\dir\\file.dll", u"file.dll", u"C:\\dir", true},
        {u"C:\\dir\\", u"", u"C:\\dir", true},
        {u"\\file", u"file", u"", false},
        {u"C:/a/b", u"b", u"C:/a", true},
        {u"c:/x", u"x", u"c:", true},
        {u"C:\\a/b\\c/d", u"d", u"C:\\a/b", true},  // only '\' is looked for when both occur
        {u"C:inst.exe", u"inst.exe", u"", false},     // the colon ends a drive for the name only
        {u"\\\\server\\share\\x", u"x", u"\\\\server\\share", true},
        {u"\\\\?\\C:\\x", u"x", u"\\\\?\\C:", true},
        {u"1:\\x", u"x", u"1:", false},
        {u"plain", u"plain", u"", false},
        {u"/root", u"root", u"", false},
        {u"x", u"x", u"", false},
        {u"\\", u"", u"", false},
        {u"", u"", u"", false},
    };
    qgrtest::ResetMachine();
    for (const auto& c : cases) {
        SCOPED_TRACE(qgrtest::Utf8(c.path));
        EXPECT_EQ(std::u16string(FileNamePart(c.path.c_str())), c.name);
        EXPECT_EQ(IsFullPath(c.path.c_str()), c.full);
        TextBuffer source = nullptr;
        Assign(source, c.path.c_str());
        TextBuffer parent = ParentPath(source);
        EXPECT_EQ(std::u16string(TextOf(parent), TextLength(parent)), c.parent);
        if (c.parent.empty()) {
            EXPECT_EQ(parent, nullptr);
        }
        FreeText(parent);
        FreeText(source);
    }
    EXPECT_FALSE(IsFullPath(nullptr));
    ExpectAllBlocksReleased();
}

// Only a drive with its root or a share is a full path; everything else depends on the
// current directory (or the current directory of a drive).

}  // namespace

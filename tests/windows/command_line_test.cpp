// hiddfu.exe's command line as Windows delivers it: a Windows shell passes
// wildcards to the program unexpanded, and hiddfu.exe has the C runtime
// expand them (so `hiddfu dfufile *.dfu` works as it does on Linux); every
// other word must arrive exactly as the caller wrote it.
#include "process_runner.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using testsupport::Bytes;
using testsupport::ProcessResult;

const char* const kProgram = HIDDFU_EXE;

// The file names that a `dfufile` run described, in output order.
std::vector<std::string> describedFiles(const std::string& out)
{
    static const std::regex firstLine("Firmware object @ [^:]*: ([^\n]*)\n");
    std::vector<std::string> names;
    for (std::sregex_iterator it(out.begin(), out.end(), firstLine), end; it != end; ++it)
        names.push_back((*it)[1].str());
    return names;
}

// A valid DFU file: payload, aux data, then the suffix with the ids.
Bytes dfuFile(Bytes payload, Bytes aux, uint16_t idVendor)
{
    const uint16_t idProduct = 0x5678, bcdDevice = 0x0100, bcdDFU = 0x0100;
    return testsupport::buildDfuFile(
        {std::move(payload), std::move(aux), idVendor, idProduct, bcdDevice, bcdDFU});
}

class WildcardExpansion : public ::testing::Test {
protected:
    void SetUp() override
    {
        const Bytes first = dfuFile(testsupport::countingBytes(24), {0x10, 0x20}, 0x1234);
        const Bytes second = dfuFile(testsupport::countingBytes(40, 0x80), {}, 0xBEEF);
        testsupport::writeFile(dir.path("one.dfu"), first);
        testsupport::writeFile(dir.path("two.dfu"), second);
        testsupport::writeFile(dir.path("notes.txt"), {'n', 'o', 't', ' ', 'D', 'F', 'U'});
        std::filesystem::create_directory(dir.path("sub"));
        testsupport::writeFile(dir.path("sub\\three.dfu"), first);
    }

    ProcessResult dfufile(const std::vector<std::string>& words) const
    {
        std::vector<std::string> args = {"dfufile"};
        args.insert(args.end(), words.begin(), words.end());
        return testsupport::runProcess(kProgram, args, dir.dir());
    }

    // What hiddfu.exe prints for one file named plainly, with no wildcard.
    std::string describe(const std::string& name) const
    {
        ProcessResult r = dfufile({name});
        EXPECT_EQ(r.exitCode, 0) << name;
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(describedFiles(r.out), std::vector<std::string>{name});
        return r.out;
    }

    testsupport::TempDir dir;
};

// Each pattern reaches the program as one word, unexpanded; the C runtime
// gives main the matching names. The order of the matches is the order the
// file system lists them in, which differs between file systems.
TEST_F(WildcardExpansion, PatternsBecomeTheMatchingFileNames)
{
    struct Case {
        const char* pattern;
        std::set<std::string> matches;
    };
    const Case cases[] = {
        {"*.dfu", {"one.dfu", "two.dfu"}},
        {"???.dfu", {"one.dfu", "two.dfu"}},
        {"t*", {"two.dfu"}},
        {"*.DFU", {"one.dfu", "two.dfu"}},  // Windows file names ignore case
        {"sub\\*.dfu", {"sub\\three.dfu"}}, // the folder stays in each name
    };
    for (const Case& c : cases) {
        ProcessResult r = dfufile({c.pattern});
        EXPECT_EQ(r.exitCode, 0) << c.pattern;
        EXPECT_EQ(r.err, "") << c.pattern;
        const std::vector<std::string> described = describedFiles(r.out);
        EXPECT_EQ(std::set<std::string>(described.begin(), described.end()), c.matches)
            << c.pattern;
        ASSERT_EQ(described.size(), c.matches.size()) << c.pattern << ": each match once";

        std::string expected;
        for (const std::string& name : described)
            expected += describe(name);
        EXPECT_EQ(r.out, expected) << c.pattern;
    }
}

// Patterns that match nothing, and characters that are wildcards only to a
// POSIX shell, reach the program as written; the words keep their order.
TEST_F(WildcardExpansion, UnmatchedPatternsStayAsWritten)
{
    ProcessResult r = dfufile({"two.dfu", "*.nomatch", "[ot]*.dfu", "one.*"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(describedFiles(r.out), (std::vector<std::string>{"two.dfu", "one.dfu"}));
    EXPECT_EQ(r.out, describe("two.dfu") + describe("one.dfu"));
    EXPECT_EQ(r.err,
              "Invalid DFU file *.nomatch\n"
              "Invalid DFU file [ot]*.dfu\n");
}

// A pattern matches a file name outside the system's code page: with the
// program's UTF-8 code page the runtime's expansion yields it in UTF-8, and
// the file opens.
TEST(NonAsciiFileNames, WildcardsMatchThem)
{
    testsupport::TempDir dir;
    const std::string name = u8"fw-日本.dfu";
    testsupport::writeFile(dir.dir() + "\\" + name, dfuFile(testsupport::countingBytes(8), {}, 0x1234));
    ProcessResult r = testsupport::runProcess(kProgram, {"dfufile", u8"*本.dfu"}, dir.dir());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(describedFiles(r.out), std::vector<std::string>{name});
}

// Words with blanks, quotes and backslashes go through the process runner's
// quoting and the C runtime's splitting of the command line; hiddfu.exe
// names each file it cannot load, which shows the word that arrived.
TEST(CommandLineQuoting, EveryWordArrivesUnchanged)
{
    const std::vector<std::string> words = {
        "plain",
        "",
        "two words",
        "tab\there",
        "say \"hi\"",
        "\"",
        "back\\slash",
        "trailing\\",
        "trailing space\\",
        "two\\\\",
        "quote after backslash\\\"",
    };
    std::vector<std::string> args = {"dfufile"};
    args.insert(args.end(), words.begin(), words.end());
    testsupport::TempDir empty;
    ProcessResult r = testsupport::runProcess(kProgram, args, empty.dir());
    std::string expected;
    for (const std::string& word : words)
        expected += "Invalid DFU file " + word + "\n";
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expected);
}

} // namespace

// The configuration library: parsing of the files in tests/data/chameleon,
// lookups with and without defaults, number formatting and reading, trim.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chameleon.h"

namespace {

std::string data_file(const char* name) {
    return std::string(CHAMELEON_DATA_DIR) + "/" + name;
}

struct Expected {
    const char* section;
    const char* key;
    const char* value;
};

struct Absent {
    const char* section;
    const char* key;
};

// Every expected entry is present with exactly its text, and every absent
// one makes the const lookup throw.
void check_file(const char* name, const std::vector<Expected>& present,
                const std::vector<Absent>& absent) {
    const Confile config(data_file(name));
    for (const Expected& e : present) {
        SCOPED_TRACE(std::string(name) + ": [" + e.section + "] " + e.key);
        try {
            EXPECT_EQ(std::string(config.Value(e.section, e.key)), e.value);
        } catch (const char*) {
            ADD_FAILURE() << "missing";
        }
    }
    for (const Absent& a : absent) {
        SCOPED_TRACE(std::string(name) + ": absent [" + a.section + "] " + a.key);
        EXPECT_THROW(config.Value(a.section, a.key), const char*);
    }
}

// The text thrown for a missing key, or null when nothing was thrown.
const char* thrown_by_lookup(const Confile& config, const std::string& section,
                             const std::string& key) {
    try {
        config.Value(section, key);
    } catch (const char* message) {
        return message;
    }
    return nullptr;
}

}  // namespace

TEST(ChameleonParse, SectionsAndHeaders) {
    check_file("sections.ini",
               {
                   {"", "top", "before any header"},  // map key "/top"
                   {"spaced", "inner", "1"},          // blanks and tab inside the brackets
                   {"unclosed", "open", "2"},         // no "]": the trimmed rest
                   {"", "empty_brackets", "3"},       // "[]" selects the empty section
                   {"named", "after", "4"},           // text after "]" ignored
                   {"", "lone", "5"},                 // a lone "[" too
                   {"Named", "after", "case"},
               },
               {
                   {"  spaced\t", "inner"},
                   {"unclosed  ", "open"},
                   {"named] trailing text", "after"},
                   {"named", "lone"},
                   {"", "[]"},
                   {"", "["},
               });
}

TEST(ChameleonParse, LastLineWithoutNewlineAndEmptyLines) {
    check_file("eof.ini", {{"last", "final", "no newline at the end"}}, {{"first", ""}, {"", ""}});
}

TEST(ChameleonParse, EntriesSplitAtTheFirstEquals) {
    check_file("entries.ini",
               {
                   {"e", "spaced key", "spaced value"},
                   {"e", "url", "http://host/?a=b=c"},
                   {"e", "empty", ""},
                   {"e", "", "orphan value"},  // map key "e/"
                   {"e", "bare word", "bare word"},
                   {"e", "# not a comment", "# not a comment"},
                   {"e", "; tab then semicolon", "; tab then semicolon"},
                   {"e", "x", "y"},
               },
               {
                   {"e", "# a comment"},
                   {"e", "a comment"},
                   {"e", "; another comment"},
                   {"e", "  spaced key  "},
                   {"e", "url = http://host/?a"},
               });
}

TEST(ChameleonParse, BlankAndCarriageReturnOnlyLinesStoreTheEmptyKey) {
    check_file("blank.ini", {{"blank", "", ""}, {"cr", "", ""}, {"other", "k", "v"}},
               {{"other", ""}, {"cr", "\r"}});
}

TEST(ChameleonParse, CrLfLineEndsNeverReachNamesOrValues) {
    check_file("crlf.ini",
               {{"win", "key", "value"}, {"win", "spaced", "x y"}, {"second", "bare", "bare"}},
               {{"win\r", "key"}, {"win", "key\r"}, {"second", "#comment"}, {"second", "bare\r"}});
}

TEST(ChameleonParse, LastOccurrenceWins) {
    // [d] key is given three times, the last one after another section.
    check_file("duplicates.ini",
               {{"d", "key", "third"},
                {"other", "key", "elsewhere"},
                {"a", "b/c", "2"},
                {"a/b", "c", "2"}},
               {});
    // [a] b/c and [a/b] c are one map key: whichever comes later wins.
    check_file("collision_reversed.ini", {{"a", "b/c", "1"}, {"a/b", "c", "1"}}, {});
}

// A file of many read blocks: lines cut at block ends, a line longer than
// the reading buffer, a last line without "\n".
TEST(ChameleonParse, LinesAcrossReadBlocks) {
    auto section = [](int i) { return "s" + std::to_string(i % 7); };
    const std::string long_value(200000, 'y');
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        text +=
            "[" + section(i) + "]\n k" + std::to_string(i) + " = v" + std::to_string(i) + "\r\n";
        if (i == 9000) {
            text += "long=" + long_value + "\n";
        }
    }
    text += "last = no newline";
    char path[] = "/tmp/chameleon_test.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    const Confile config(path);
    unlink(path);
    ASSERT_TRUE(written);
    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(std::string(config.Value(section(i), "k" + std::to_string(i))),
                  "v" + std::to_string(i));
    }
    EXPECT_EQ(std::string(config.Value(section(9000), "long")), long_value);
    EXPECT_EQ(std::string(config.Value(section(19999), "last")), "no newline");
}

TEST(ChameleonParse, MissingOrUnreadableFileGivesAnEmptyConfiguration) {
    for (const std::string& path :
         {data_file("no-such-file.ini"), std::string(CHAMELEON_DATA_DIR)}) {
        SCOPED_TRACE(path);
        Confile config(path);
        const char* message = thrown_by_lookup(config, "server", "ucast_addr");
        ASSERT_NE(message, nullptr);
        EXPECT_STREQ(message, "does not exist");
        EXPECT_NE(thrown_by_lookup(config, "", ""), nullptr);
        EXPECT_EQ(std::string(config.Value("server", "port", 5566.0)), "5566");
    }
}

TEST(ChameleonLookup, ConstLookupInsertsNothing) {
    Confile config(data_file("numbers.ini"));
    EXPECT_NE(thrown_by_lookup(config, "n", "missing"), nullptr);
    EXPECT_NE(thrown_by_lookup(config, "n", "missing"), nullptr);
    EXPECT_STREQ(thrown_by_lookup(config, "N", "leading"), "does not exist");
}

TEST(ChameleonLookup, DefaultIsStoredOnceAndKeptAfterwards) {
    Confile config(data_file("no-such-file.ini"));
    Chameleon& first = config.Value("server", "port", 5566.0);
    EXPECT_EQ(std::string(first), "5566");
    Chameleon& second = config.Value("server", "port", 1234.0);
    EXPECT_EQ(std::string(second), "5566");
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(std::string(config.Value("server", "port", std::string("other"))), "5566");
    EXPECT_EQ(std::string(static_cast<const Confile&>(config).Value("server", "port")), "5566");

    EXPECT_EQ(std::string(config.Value("server", "name", std::string("  kept as is "))),
              "  kept as is ");
}

TEST(ChameleonLookup, DefaultDoesNotReplaceAValueFromTheFile) {
    Confile config(data_file("numbers.ini"));
    EXPECT_EQ(std::string(config.Value("n", "leading", 1.0)), "12abc");
    EXPECT_EQ(std::string(config.Value("n", "empty", std::string("x"))), "");
}

TEST(ChameleonLookup, ReferencesStayValidAcrossInsertions) {
    Confile config(data_file("duplicates.ini"));
    const Chameleon& from_file = static_cast<const Confile&>(config).Value("d", "key");
    Chameleon& inserted = config.Value("z", "first", std::string("one"));
    for (int i = 0; i < 2000; ++i) {
        config.Value("s" + std::to_string(i % 37), "k" + std::to_string(i), static_cast<double>(i));
    }
    EXPECT_EQ(std::string(from_file), "third");
    EXPECT_EQ(std::string(inserted), "one");
    EXPECT_EQ(&inserted, &config.Value("z", "first", 0.0));
    EXPECT_EQ(std::string(config.Value("s" + std::to_string(1999 % 37), "k1999", 0.0)), "1999");
    // A stored value can be changed in place through the reference.
    inserted = 2.5;
    EXPECT_EQ(std::string(static_cast<const Confile&>(config).Value("z", "first")), "2.5");
}

TEST(ChameleonNumber, FormattedWithSixSignificantDigits) {
    struct {
        double number;
        const char* text;
    } cases[] = {
        {5566.0, "5566"},        {0.1, "0.1"},         {0.5, "0.5"},
        {1e7, "1e+07"},          {123456.0, "123456"}, {1234567.0, "1.23457e+06"},
        {-2.25, "-2.25"},        {0.0, "0"},           {1e-5, "1e-05"},
        {3.14159265, "3.14159"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string(Chameleon(c.number)), c.text) << c.number;
        Chameleon assigned("previous");
        assigned = c.number;
        EXPECT_EQ(std::string(assigned), c.text) << c.number;
    }
}

TEST(ChameleonNumber, ReadLikeAtof) {
    const Confile config(data_file("numbers.ini"));
    EXPECT_EQ(static_cast<double>(config.Value("n", "leading")), 12.0);
    EXPECT_EQ(static_cast<double>(config.Value("n", "letters")), 0.0);
    EXPECT_EQ(static_cast<double>(config.Value("n", "empty")), 0.0);
    EXPECT_EQ(static_cast<double>(config.Value("n", "spaced")), -2500.0);
    EXPECT_EQ(static_cast<double>(Chameleon(" \t7.25 rest")), 7.25);
    EXPECT_EQ(static_cast<double>(Chameleon()), 0.0);
}

TEST(ChameleonValue, CopiesAreIndependent) {
    Chameleon original(std::string("one"));
    Chameleon copy(original);
    Chameleon assigned("x");
    EXPECT_EQ(&(assigned = original), &assigned);
    original = std::string("two");
    EXPECT_EQ(std::string(copy), "one");
    EXPECT_EQ(std::string(assigned), "one");
    EXPECT_EQ(std::string(original), "two");
    EXPECT_EQ(std::string(Chameleon()), "");
}

TEST(ChameleonTrim, StripsOnlyTheGivenSetFromBothEnds) {
    const char* blanks = " \t\r\n";
    EXPECT_EQ(trim("  a b \t\r\n", blanks), "a b");
    EXPECT_EQ(trim("\r\n", blanks), "");
    EXPECT_EQ(trim("", blanks), "");
    EXPECT_EQ(trim("\vx\f", blanks), "\vx\f");  // vertical tab, form feed stay
    EXPECT_EQ(trim("xxabcxx", "x"), "abc");
    EXPECT_EQ(trim("xxxx", "x"), "");
    EXPECT_EQ(trim("abc", ""), "abc");
    EXPECT_EQ(trim(std::string("\0a\0", 3), blanks), std::string("\0a\0", 3));
}

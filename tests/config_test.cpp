// Key lookups in INI-style configuration files, and the trimming helpers they use.
#include "rivover.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

class ConfigFile : public testing::Test {
  protected:
    // Writes the file and looks key up in it; value_ holds what was found.
    int get(const std::string& contents, const char* section, const char* key) {
        write_file(path(), contents);
        std::memset(value_, '#', sizeof value_);
        value_[sizeof value_ - 1] = '\0';
        return ctl_config_get(path().c_str(), section, key, value_);
    }
    std::string path() const { return dir_.file("test.conf"); }
    std::string value() const { return value_; }

    TempDir dir_;
    char value_[CTL_CONFIG_LINE_BYTES];
};

TEST_F(ConfigFile, SectionsLimitTheLookupOnlyWhenNamed) {
    const std::string text = "[net]\nport = 80\n";
    EXPECT_EQ(get(text, "net", "port"), 0);
    EXPECT_EQ(value(), "80");
    EXPECT_EQ(get(text, "audio", "port"), -2);
    EXPECT_EQ(get(text, nullptr, "port"), 0);
    EXPECT_EQ(value(), "80");
    // Before the first header the section is the empty string.
    EXPECT_EQ(get("a=1\n[s]\nb=2\n", "", "a"), 0);
    EXPECT_EQ(value(), "1");
    EXPECT_EQ(get("a=1\n[s]\nb=2\n", "", "b"), -2);
    EXPECT_EQ(get("a=1\n[s]\nb=2\n", "s", "a"), -2);
}

TEST_F(ConfigFile, FirstMatchInFileOrderWins) {
    const std::string text = "[one]\nkey=first\n[two]\nkey=second\nkey=third\n";
    EXPECT_EQ(get(text, nullptr, "key"), 0);
    EXPECT_EQ(value(), "first");
    EXPECT_EQ(get(text, "two", "key"), 0);
    EXPECT_EQ(value(), "second");
}

TEST_F(ConfigFile, SeparatorRunIsSkippedAndTrailingBlanksStay) {
    EXPECT_EQ(get("name==x\n", nullptr, "name"), 0);
    EXPECT_EQ(value(), "x");
    EXPECT_EQ(get("name =\n", nullptr, "name"), 0);
    EXPECT_EQ(value(), "");
    EXPECT_EQ(get("a = b  \n", nullptr, "a"), 0);
    EXPECT_EQ(value(), "b  ");
    EXPECT_EQ(get("a = b\t\r\n", nullptr, "a"), 0);
    EXPECT_EQ(value(), "b\t");
    // Only the leading run: '=' and blanks later in the value are kept.
    EXPECT_EQ(get("url = \t= http://h/?q=1 = 2\n", nullptr, "url"), 0);
    EXPECT_EQ(value(), "http://h/?q=1 = 2");
    // No '=' at all: the whole line is the name and the value is empty.
    EXPECT_EQ(get("flag\n", nullptr, "flag"), 0);
    EXPECT_EQ(value(), "");
    // A last line without a line feed, and CR LF line ends.
    EXPECT_EQ(get("x=1\r\ny=2", nullptr, "y"), 0);
    EXPECT_EQ(value(), "2");
    EXPECT_EQ(get("x=1\r\ny=2", nullptr, "x"), 0);
    EXPECT_EQ(value(), "1");
}

TEST_F(ConfigFile, NamesAreTrimmedAndComparedExactly) {
    EXPECT_EQ(get("  port=1\n", nullptr, "port"), 0);
    EXPECT_EQ(value(), "1");
    EXPECT_EQ(get("\tport \t = 1\n", nullptr, "port"), 0);
    EXPECT_EQ(get("Port=1\n", nullptr, "port"), -2);
    EXPECT_EQ(get("port=1\n", nullptr, "por"), -2);
    EXPECT_EQ(get("por=1\n", nullptr, "port"), -2);
    // Blank lines are entries with an empty name; there are no comments.
    EXPECT_EQ(get("\n\n=v\n", nullptr, ""), 0);
    EXPECT_EQ(value(), "");
    EXPECT_EQ(get("# note=1\n", nullptr, "# note"), 0);
    EXPECT_EQ(value(), "1");
}

TEST_F(ConfigFile, SectionHeaders) {
    // Blanks inside the brackets belong to the name.
    const std::string spaced = "[ net ]\nport=80\n";
    EXPECT_EQ(get(spaced, "net", "port"), -2);
    EXPECT_EQ(get(spaced, " net ", "port"), 0);
    // A header needs its "]": "[abc" is an entry, and "[]" and "[x" change nothing.
    EXPECT_EQ(get("[abc\nk=1\n", "ab", "k"), -2);
    EXPECT_EQ(get("[s]\n[abc\nk=1\n", "s", "k"), 0);
    EXPECT_EQ(get("[abc=x\n", nullptr, "[abc"), 0);
    EXPECT_EQ(get("[s]\n[]\nk=1\n", "s", "k"), 0);
    EXPECT_EQ(get("[s]\n[x\nk=1\n", "s", "k"), 0);
    // Blanks around the header are trimmed before it is recognised.
    EXPECT_EQ(get("  [s]  \r\nk=1\n", "s", "k"), 0);
    // "[a=b]" has the name part "[a", too short to be a header: an entry.
    EXPECT_EQ(get("[s]\n[a=b]\nk=1\n", "s", "k"), 0);
    EXPECT_EQ(get("[s]\n[a=b]\n", "s", "[a"), 0);
    EXPECT_EQ(value(), "b]");
}

TEST_F(ConfigFile, MissingFileAndNullValue) {
    EXPECT_EQ(ctl_config_get(dir_.file("absent.conf").c_str(), nullptr, "k", value_), -1);
    EXPECT_EQ(ctl_config_get(nullptr, nullptr, "k", value_), -1);
    write_file(path(), "k=1\n");
    EXPECT_EQ(ctl_config_get(path().c_str(), nullptr, "k", nullptr), 0);
    EXPECT_EQ(ctl_config_get(path().c_str(), nullptr, "j", nullptr), -2);
    write_file(path(), "");
    EXPECT_EQ(ctl_config_get(path().c_str(), nullptr, "k", value_), -2);
}

TEST_F(ConfigFile, LongLinesAreSkippedWhole) {
    // A value past the line buffer cannot bring in a key of its own.
    const std::string smuggle = "title=" + std::string(600, 't') + "rate=666\nafter=1\n";
    EXPECT_EQ(get(smuggle, nullptr, "title"), -2);
    EXPECT_EQ(get(smuggle, nullptr, "rate"), -2);
    EXPECT_EQ(get(smuggle, nullptr, "after"), 0);
    EXPECT_EQ(value(), "1");
    // 511 characters fit, with or without a line end after them; 512 do not.
    EXPECT_EQ(get("x=" + std::string(509, 'a') + "\n", nullptr, "x"), 0);
    EXPECT_EQ(value(), std::string(509, 'a'));
    EXPECT_EQ(get("x=" + std::string(509, 'a'), nullptr, "x"), 0);
    EXPECT_EQ(get("x=" + std::string(510, 'a') + "\n", nullptr, "x"), -2);
    // Blanks before a name do not count against its length.
    EXPECT_EQ(get(std::string(300, ' ') + "k=3\n", nullptr, "k"), 0);
    EXPECT_EQ(value(), "3");

    // A name of 127 characters is looked up; one of 128 or more matches no key.
    const std::string n127(127, 'n'), n128(128, 'n');
    EXPECT_EQ(get(n127 + "=v\n", nullptr, n127.c_str()), 0);
    EXPECT_EQ(value(), "v");
    EXPECT_EQ(get(n128 + "=v\nk=2\n", nullptr, n128.c_str()), -2);
}

TEST_F(ConfigFile, KeysUnderAnOverlongHeaderBelongToNoSection) {
    const std::string s200(200, 's'), s600(600, 's'), b600(600, ' ');
    for (const std::string& header : {'[' + s200 + ']', '[' + s600 + ']', b600 + "[s]"}) {
        const std::string text = std::string("[s]\n").append(header).append("\nk=2\n");
        EXPECT_EQ(get(text, "s", "k"), -2) << header.size();
        EXPECT_EQ(get(text, "", "k"), -2);
        EXPECT_EQ(get(text, nullptr, "k"), 0);
        EXPECT_EQ(value(), "2");
        EXPECT_EQ(get(text + "[t]\nk=3\n", "t", "k"), 0); // the next header counts again
        EXPECT_EQ(value(), "3");
    }
    // A header that fits is one even when blanks make its line too long.
    EXPECT_EQ(get(std::string("[t]").append(b600).append("\nk=4\n"), "t", "k"), 0);
}

TEST_F(ConfigFile, NulEndsWhatALineSays) {
    const std::string text = std::string("po\0rt=1\nport=2\nv=a\0b\n[s\0]\nw=3\n", 27);
    EXPECT_EQ(get(text, nullptr, "port"), 0);
    EXPECT_EQ(value(), "2");
    EXPECT_EQ(get(text, nullptr, "po"), 0);
    EXPECT_EQ(value(), "");
    EXPECT_EQ(get(text, nullptr, "v"), 0);
    EXPECT_EQ(value(), "a");
    EXPECT_EQ(get(text, "", "w"), 0); // "[s" is no header
}

TEST_F(ConfigFile, OnlyRegularFilesOfBoundedSizeAreRead) {
    EXPECT_EQ(ctl_config_get(dir_.path.c_str(), nullptr, "k", value_), -1);
    EXPECT_EQ(ctl_config_get("/dev/zero", nullptr, "k", value_), -1);
    // A FIFO with no writer would block an ordinary open.
    const std::string fifo = dir_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ctl_config_get(fifo.c_str(), nullptr, "k", value_), -1);

    std::string big = "k=1\n" + std::string(CTL_CONFIG_MAX_BYTES - 4, '\n');
    EXPECT_EQ(get(big, nullptr, "k"), 0);
    EXPECT_EQ(get(big + "\n", nullptr, "k"), -1);
}

TEST(ConfigTrim, EachTrimRemovesItsOwnCharacters) {
    char a[] = " \t\r\nvalue \t\r\n";
    trim_left(a);
    EXPECT_STREQ(a, "value \t\r\n");
    trim_right(a);
    EXPECT_STREQ(a, "value");

    char b[] = "x \t\r\n\r";
    trim_newline(b);
    EXPECT_STREQ(b, "x \t");
    char c[] = "\r\n";
    trim_newline(c);
    EXPECT_STREQ(c, "");
    char d[] = "  ";
    trim_left(d);
    EXPECT_STREQ(d, "");
    char e[] = "  ";
    trim_right(e);
    EXPECT_STREQ(e, "");
    char f[] = "in side";
    trim_left(f);
    trim_right(f);
    trim_newline(f);
    EXPECT_STREQ(f, "in side");
    trim_left(nullptr);
    trim_right(nullptr);
    trim_newline(nullptr);
}

} // namespace

// INI-style configuration files: "[section]" lines and "name = value" lines, looked up
// one key at a time, straight from the file.
//
// The reader takes only what it can hold whole: a line longer than the line buffer is
// never cut into pieces that could read as lines of their own, a NUL byte ends what a
// line says, and a header's keys never end up in another section than the one it names.
#include "rivover.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t LINE_CHARS = CTL_CONFIG_LINE_BYTES - 1;
constexpr size_t NAME_CHARS = CTL_CONFIG_NAME_BYTES - 1;

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool newline(char c) {
    return c == '\r' || c == '\n';
}

// One line of the file, up to its line feed (not kept) or its first NUL byte.
struct tConfigLine {
    char text[CTL_CONFIG_LINE_BYTES]; // the first LINE_CHARS characters, NUL-terminated
    size_t length;                    // characters in use; more than LINE_CHARS: too long
    size_t name_first, name_end;      // the name part without its blanks: [first, end)
    char name_open, name_close;       // first and last character of the name part
    size_t separator;                 // index of the first '=', or `length` when none
};

// Reads the next line; false at the end of the file (or of the bytes it may read).
bool read_line(std::FILE* f, tConfigLine& line, long& budget) {
    bool any = false, in_use = true, in_name = true;
    line.length = 0;
    line.name_first = line.name_end = 0;
    line.name_open = line.name_close = '\0';
    bool named = false;
    int c;
    while (budget > 0 && (c = getc_unlocked(f)) != EOF) {
        budget--;
        any = true;
        if (c == '\n') break;
        if (!in_use) continue;
        if (c == '\0') {
            in_use = false;
            continue;
        }
        const size_t i = line.length++;
        if (i < LINE_CHARS) line.text[i] = static_cast<char>(c);
        if (!in_name) continue;
        if (c == '=') {
            in_name = false;
            line.separator = i;
        } else if (!blank(static_cast<char>(c))) {
            if (!named) {
                line.name_first = i;
                line.name_open = static_cast<char>(c);
            }
            named = true;
            line.name_end = i + 1;
            line.name_close = static_cast<char>(c);
        }
    }
    if (in_name) line.separator = line.length;
    line.text[line.length < LINE_CHARS ? line.length : LINE_CHARS] = '\0';
    return any;
}

// Opens a regular file of at most CTL_CONFIG_MAX_BYTES for reading. A FIFO or device
// must not block the open, so it is opened non-blocking and refused after a look.
std::FILE* open_config(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > CTL_CONFIG_MAX_BYTES) {
        close(fd);
        return nullptr;
    }
    std::FILE* f = fdopen(fd, "r");
    if (f == nullptr) close(fd);
    return f;
}

} // namespace

void trim_left(char* s) {
    if (s == nullptr) return;
    size_t skip = 0;
    while (s[skip] != '\0' && blank(s[skip]))
        skip++;
    if (skip > 0) std::memmove(s, s + skip, std::strlen(s + skip) + 1);
}

void trim_right(char* s) {
    if (s == nullptr) return;
    size_t n = std::strlen(s);
    while (n > 0 && blank(s[n - 1]))
        s[--n] = '\0';
}

void trim_newline(char* s) {
    if (s == nullptr) return;
    size_t n = std::strlen(s);
    while (n > 0 && newline(s[n - 1]))
        s[--n] = '\0';
}

int ctl_config_get(const char* path, const char* section, const char* key, char* value) {
    if (path == nullptr || key == nullptr) return -1;
    std::FILE* f = open_config(path);
    if (f == nullptr) return -1;

    tConfigLine line;
    char current[CTL_CONFIG_NAME_BYTES] = "";
    bool in_section = true; // false under a header whose name is too long to hold
    long budget = CTL_CONFIG_MAX_BYTES;
    int result = -2;
    while (read_line(f, line, budget)) {
        const size_t name_len = line.name_end - line.name_first;
        const bool too_long = line.length > LINE_CHARS;
        // A header is known by its first and last character even on a line too long to
        // hold, so that the keys after it never fall to the section before it; a name
        // that cannot be held puts them in no section.
        if (name_len > 2 && line.name_open == '[' && line.name_close == ']') {
            in_section = name_len <= NAME_CHARS && line.name_end <= LINE_CHARS;
            if (in_section) {
                std::memcpy(current, line.text + line.name_first + 1, name_len - 2);
                current[name_len - 2] = '\0';
            }
            continue;
        }
        if (too_long || name_len > NAME_CHARS) continue;
        if (section != nullptr && (!in_section || std::strcmp(section, current) != 0)) continue;
        char name[CTL_CONFIG_NAME_BYTES];
        std::memcpy(name, line.text + line.name_first, name_len);
        name[name_len] = '\0';
        if (std::strncmp(name, key, CTL_CONFIG_NAME_BYTES) != 0) continue;

        if (value != nullptr) {
            const char* v = line.text + line.separator;
            while (*v != '\0' && (blank(*v) || *v == '='))
                v++;
            std::memmove(value, v, std::strlen(v) + 1);
            trim_newline(value);
        }
        result = 0;
        break;
    }
    std::fclose(f);
    return result;
}

// INI-style configuration files: "[section]" lines and "name = value" lines, looked up
// one key at a time, straight from the file.
#include "rivover.h"

#include <cstdio>
#include <cstring>

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool newline(char c) {
    return c == '\r' || c == '\n';
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
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) return -1;

    char line[CTL_CONFIG_LINE_BYTES];
    char name[CTL_CONFIG_NAME_BYTES];
    char current[CTL_CONFIG_NAME_BYTES] = "";
    int result = -2;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        // Name part: up to the first '=', or the whole line.
        const char* eq = std::strchr(line, '=');
        const size_t end = eq != nullptr ? static_cast<size_t>(eq - line) : std::strlen(line);
        size_t first = 0, last = end;
        while (first < last && blank(line[first]))
            first++;
        while (last > first && blank(line[last - 1]))
            last--;
        // A name that does not fit the name buffer can be neither a section nor a key
        // of the lengths allowed; the line is passed over.
        if (last - first >= sizeof name) continue;
        std::memcpy(name, line + first, last - first);
        name[last - first] = '\0';

        const size_t len = last - first;
        if (name[0] == '[' && len > 2) {
            std::memcpy(current, name + 1, len - 2);
            current[len - 2] = '\0';
            continue;
        }
        if (section != nullptr && std::strcmp(section, current) != 0) continue;
        if (std::strncmp(name, key, CTL_CONFIG_NAME_BYTES) != 0) continue;

        if (value != nullptr) {
            const char* v = line + end;
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

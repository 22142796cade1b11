// The configuration reader. The input's first line names what to look up,
// "section<TAB>key" ("*" as the section: any section), and the rest is the file.
#include "rivover.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string file_path;
int file_fd = -1;

void write_file(const uint8_t* data, size_t size) {
    if (file_fd < 0) {
        char name[] = "/tmp/fuzz-config-XXXXXX";
        file_fd = mkstemp(name);
        if (file_fd < 0) __builtin_trap();
        file_path = name;
        std::atexit([] { unlink(file_path.c_str()); });
    }
    if (ftruncate(file_fd, 0) != 0) __builtin_trap();
    if (size > 0 && pwrite(file_fd, data, size, 0) != static_cast<ssize_t>(size)) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* text = reinterpret_cast<const char*>(data);
    const auto* nl = static_cast<const char*>(std::memchr(text, '\n', size));
    const size_t first = nl != nullptr ? static_cast<size_t>(nl - text) : size;
    const std::string query(text, first);
    const size_t tab = query.find('\t');
    const std::string section = tab == std::string::npos ? "" : query.substr(0, tab);
    const std::string key = tab == std::string::npos ? query : query.substr(tab + 1);
    const size_t rest = nl != nullptr ? first + 1 : size;
    write_file(data + rest, size - rest);

    // The value buffer is exactly as large as promised.
    auto* value = static_cast<char*>(std::malloc(CTL_CONFIG_LINE_BYTES));
    const int r = ctl_config_get(file_path.c_str(), section == "*" ? nullptr : section.c_str(),
                                 key.c_str(), value);
    if (r != 0 && r != -2) __builtin_trap();
    if (r == 0 && std::strlen(value) >= CTL_CONFIG_LINE_BYTES) __builtin_trap();
    std::free(value);

    // The trimming helpers on the query line.
    std::string copy = query;
    trim_left(copy.data());
    trim_right(copy.data());
    trim_newline(copy.data());
    return 0;
}

#include "tempdir.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

} // namespace

TempDir::TempDir() {
    char name[] = "/tmp/vexa-test-XXXXXX";
    if (mkdtemp(name) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return;
    }
    path = name;
}

TempDir::~TempDir() {
    if (path.empty()) return;
    // VEXA_KEEP_TEMP=1 keeps the directories of a run for a look afterwards.
    const char* keep = getenv("VEXA_KEEP_TEMP");
    if (keep != nullptr && keep[0] != '\0' && strcmp(keep, "0") != 0) {
        fprintf(stderr, "kept %s\n", path.c_str());
        return;
    }
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::file(const std::string& name) const {
    return path + "/" + name;
}

std::string read_file(const std::string& path) {
    std::string bytes;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "read_file " << path << ": " << strerror(errno);
        return bytes;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ADD_FAILURE() << "read_file " << path << ": " << strerror(errno);
        if (n <= 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return bytes;
}

void write_file(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        ADD_FAILURE() << "write_file " << path << ": " << strerror(errno);
        return;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ADD_FAILURE() << "write_file " << path << ": " << strerror(errno);
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A disk that fails: preloaded (LD_PRELOAD) into a program under test, it makes every
// read of a regular file fail with EIO once the file position has reached
// FAULTSHIM_EIO_AFTER bytes. Reads of anything else (pipes, sockets, devices) pass.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

using tReadFn = ssize_t (*)(int, void*, size_t);
using tReadChkFn = ssize_t (*)(int, void*, size_t, size_t);

bool fails(int fd) {
    const char* after = std::getenv("FAULTSHIM_EIO_AFTER");
    if (after == nullptr) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return lseek(fd, 0, SEEK_CUR) >= std::atoll(after);
}

} // namespace

extern "C" ssize_t read(int fd, void* buf, size_t n) {
    static const auto next = reinterpret_cast<tReadFn>(dlsym(RTLD_NEXT, "read"));
    if (fails(fd)) {
        errno = EIO;
        return -1;
    }
    return next(fd, buf, n);
}

extern "C" ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen) {
    static const auto next = reinterpret_cast<tReadChkFn>(dlsym(RTLD_NEXT, "__read_chk"));
    if (fails(fd)) {
        errno = EIO;
        return -1;
    }
    return next(fd, buf, n, buflen);
}

// Runs every file of the given directories (and the given files) through a fuzz target's
// entry point once, so that inputs found while fuzzing stay checked by the ordinary tests.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool run_file(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::perror(path.c_str());
        if (fd >= 0) close(fd);
        return false;
    }
    // A heap block of exactly the input's size, as the fuzzer gives it.
    const auto size = static_cast<size_t>(st.st_size);
    auto* data = static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1));
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, data + got, size - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got != size) {
        std::fprintf(stderr, "%s: short read\n", path.c_str());
        std::free(data);
        return false;
    }
    LLVMFuzzerTestOneInput(data, size);
    std::free(data);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int files = 0;
    bool ok = true;
    for (int i = 1; i < argc; i++) {
        std::vector<std::string> paths;
        if (DIR* dir = opendir(argv[i])) {
            while (const dirent* e = readdir(dir))
                if (e->d_name[0] != '.') paths.push_back(std::string(argv[i]) + "/" + e->d_name);
            closedir(dir);
        } else {
            paths.emplace_back(argv[i]);
        }
        for (const std::string& p : paths) {
            ok = run_file(p) && ok;
            files++;
        }
    }
    std::fprintf(stderr, "replayed %d inputs\n", files);
    return ok && files > 0 ? 0 : 1;
}

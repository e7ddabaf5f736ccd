// Runs a fuzz target over files and directories of saved inputs, for builds
// without libFuzzer (gcc, the sanitized build, valgrind): every regression
// and corpus input is replayed by ctest in every build.
// 64-bit file offsets and inode numbers on 32-bit builds too: without them
// readdir fails (EOVERFLOW) on file systems with large inode numbers.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int runFile(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        perror(path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    // A copy of exactly the input's size, so reading past it is caught.
    std::vector<uint8_t> exact(bytes);
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return 0;
}

static int runPath(const std::string &path, int *count) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        perror(path.c_str());
        return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
        ++*count;
        return runFile(path);
    }
    DIR *dir = opendir(path.c_str());
    if (!dir) {
        perror(path.c_str());
        return 1;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent *e = readdir(dir))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    int err = errno;
    closedir(dir);
    if (err) {
        errno = err;
        perror(path.c_str());
        return 1;
    }
    int failed = 0;
    for (const std::string &name : names) failed |= runPath(path + "/" + name, count);
    return failed;
}

int main(int argc, char **argv) {
    int failed = 0, count = 0;
    for (int i = 1; i < argc; i++) failed |= runPath(argv[i], &count);
    printf("%d inputs replayed\n", count);
    // Nothing replayed means the inputs were not found: a failure too.
    return failed || count == 0;
}

// The fatal-error, assertion and hex-dump helpers, each run in a child
// process so its exit status, abort and both output streams can be checked.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

// The test binary carries its own copy of the helpers, as every module does.
#include "diagnostics.h"
#include "hexdump.h"

namespace {

struct ChildResult {
    int status;
    std::string out, err;
};

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, n);
    close(fd);
    return s;
}

// Runs fn in a forked child with stdout and stderr on pipes. A child that
// returns from fn flushes stdout and exits with status 0.
ChildResult runChild(const std::function<void()> &fn) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) ADD_FAILURE() << "pipe";
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        fn();
        fflush(stdout);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    ChildResult r;
    r.out = drain(out[0]);  // outputs are small: reading one pipe after the other is safe
    r.err = drain(err[0]);
    waitpid(pid, &r.status, 0);
    return r;
}

bool exitedWith(const ChildResult &r, int code) {
    return WIFEXITED(r.status) && WEXITSTATUS(r.status) == code;
}

TEST(Die, WritesFunctionAndMessageToStderrAndExits123) {
    auto r = runChild([] { _die("openWork", "bad %s %d", "thing", 42); });
    EXPECT_TRUE(exitedWith(r, 123));
    EXPECT_EQ(r.err, "[openWork()]: bad thing 42\n");
    EXPECT_EQ(r.out, "");
}

TEST(Die, CutsLongMessagesAt799AndPdieAt79) {
    std::string longText(1000, 'x');
    auto r = runChild([&] { _die("f", "%s", longText.c_str()); });
    EXPECT_TRUE(exitedWith(r, 123));
    EXPECT_EQ(r.err, "[f()]: " + std::string(799, 'x') + "\n");

    r = runChild([&] {
        errno = EINVAL;
        _pdie("f", "%s", longText.c_str());
    });
    EXPECT_TRUE(exitedWith(r, 123));
    EXPECT_EQ(r.err, std::string(79, 'x') + ": " + strerror(EINVAL) + " (=" +
                         std::to_string(EINVAL) + ")\n");
}

TEST(Pdie, ReportsErrnoAndLeavesTheFunctionNameOut) {
    auto r = runChild([] {
        errno = ENOENT;
        _pdie("attach", "open %s", "/dev/null0");
    });
    EXPECT_TRUE(exitedWith(r, 123));
    EXPECT_EQ(r.err, std::string("open /dev/null0: ") + strerror(ENOENT) + " (=2)\n");
    EXPECT_EQ(r.err.find("attach"), std::string::npos);

    r = runChild([] {
        errno = 0;
        _pdie("f", "nothing wrong");
    });
    EXPECT_TRUE(exitedWith(r, 123));
    EXPECT_EQ(r.err, std::string("nothing wrong: ") + strerror(0) + " (=0)\n");
    EXPECT_EQ(r.out, "");
}

TEST(MyAssert, WritesToStdoutAndAborts) {
    auto r = runChild([] { __my_assert("ep & 0x80", "bulkvideo.cpp", "do_attach", 123); });
    EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGABRT);
    EXPECT_EQ(r.out, "\n\rAssertion failed (bulkvideo.cpp:123): do_attach()\n \"ep & 0x80\"\n\n");
    // Under qemu's user-mode emulator (the i386 tests on a kernel without
    // 32-bit support) the emulator reports the signal on stderr itself.
    std::string err = r.err;
    if (err.rfind("qemu: uncaught target signal 6", 0) == 0) err.erase(0, err.find('\n') + 1);
    EXPECT_EQ(err, "");
}

std::string dumpOf(const unsigned char *bytes, int count, bool showAddress = false) {
    auto r = runChild([&] { hexDump(bytes, count, showAddress); });
    EXPECT_TRUE(exitedWith(r, 0));
    EXPECT_EQ(r.err, "");
    return r.out;
}

TEST(HexDump, RowLayoutsFor8And16And18Bytes) {
    unsigned char letters[18];
    for (int i = 0; i < 18; i++) letters[i] = 'A' + i;

    EXPECT_EQ(dumpOf(letters, 16),
              "000: 41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50   ABCDEFGHIJKLMNOP\n");
    // Eight bytes end with "- ", then the fills of columns 8 to 15 only.
    EXPECT_EQ(dumpOf(letters, 8),
              "000: 41 42 43 44 45 46 47 48 - " + std::string(8 * 3, ' ') + "  ABCDEFGH\n");
    // The short second row fills columns 2 to 15, two extra blanks after column 7.
    EXPECT_EQ(dumpOf(letters, 18),
              "000: 41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50   ABCDEFGHIJKLMNOP\n"
              "010: 51 52 " + std::string(14 * 3 + 2, ' ') + "  QR\n");
    // Every row's hex area has the same width whatever its length.
    for (int n = 1; n <= 16; n++) {
        std::string line = dumpOf(letters, n);
        EXPECT_EQ(line.size(), 5 + 16 * 3 + 2 + 2 + n + 1u) << n;
    }
}

TEST(HexDump, NothingForEmptyOrNegativeCounts) {
    unsigned char b[4] = {1, 2, 3, 4};
    EXPECT_EQ(dumpOf(b, 0), "");
    EXPECT_EQ(dumpOf(b, -5), "");
}

TEST(HexDump, UnprintableBytesShowAsDots) {
    unsigned char b[] = {0x00, 0x1f, 0x20, 0x7e, 0x7f, 0x80, 0xff, '\n'};
    EXPECT_EQ(dumpOf(b, 8), "000: 00 1f 20 7e 7f 80 ff 0a - " + std::string(24, ' ') + "  .. ~....\n");
}

TEST(HexDump, OffsetsGrowPastThreeDigitsAndAddressesUsePointerFormat) {
    std::vector<unsigned char> big(0x1001, 'z');
    std::string out = dumpOf(big.data(), (int)big.size());
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 0x101);
    EXPECT_NE(out.find("\nff0: "), std::string::npos);
    EXPECT_NE(out.find("\n1000: 7a " + std::string(15 * 3 + 2, ' ') + "  z\n"), std::string::npos);

    unsigned char b[20] = {0};
    char first[64], second[64];
    snprintf(first, sizeof first, "%p: ", (void *)b);
    snprintf(second, sizeof second, "%p: ", (void *)(b + 16));
    out = dumpOf(b, 20, true);
    std::string line1 = out.substr(0, out.find('\n') + 1);
    std::string line2 = out.substr(line1.size());
    EXPECT_EQ(line1.rfind(first, 0), 0u) << line1;
    EXPECT_EQ(line2.rfind(second, 0), 0u) << line2;
    EXPECT_EQ(line1.substr(strlen(first)),
              "00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n");
}

}  // namespace

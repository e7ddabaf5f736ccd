// What this machine must have, for the C++ tests: the same contract as
// tests/python/required.py. TILESTREAM_REQUIRE names (blank-separated words)
// what the test command's setup provides; a test that would skip for want of
// one of those fails instead, with the same reason.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

inline bool requiredHere(const std::string& word) {
    const char* list = std::getenv("TILESTREAM_REQUIRE");
    std::istringstream words(list ? list : "");
    std::string w;
    while (words >> w)
        if (w == word) return true;
    return false;
}

// Ends the test for want of `word`: a failure when it is required here, a
// skip otherwise. `message` is what a stream takes: "no AVX2 path: " << n.
#define SKIP_OR_FAIL_FOR_WANT_OF(word, message)                                  \
    do {                                                                         \
        std::ostringstream why_;                                                 \
        why_ << message;                                                         \
        if (requiredHere(word))                                                  \
            GTEST_FAIL() << why_.str() << " (TILESTREAM_REQUIRE names '"         \
                         << (word) << "': scripts/setup.sh provides it)";       \
        GTEST_SKIP() << why_.str();                                              \
    } while (0)

// Peers: programs nobody here wrote that tests run against (Debian's prometheus,
// chromium, curl, upsc/upsmon, snmpd, ...). A test whose peer is missing skips on a
// developer's machine, but under CI (CI=true) it fails, so that a broken install step
// cannot turn the peer tests green by skipping them. Every such skip goes through here.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace novex_test {

inline bool UnderCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

// For a peer that only adds a further check to a test: whether it is there; when it
// is not, a failure under CI.
inline bool OptionalPeer(bool present, const std::string& what) {
    if (!present && UnderCi())
        ADD_FAILURE() << what << " is missing under CI=true (scripts/install-deps.sh --peers)";
    return present;
}

}  // namespace novex_test

// Skips the test when `present` is false, `why` naming what is missing; fails it under
// CI=true. In a test's body or its fixture's SetUp.
#define NOVEX_NEED_PEER(present, why)                                                \
    do {                                                                             \
        if (!(present)) {                                                            \
            if (novex_test::UnderCi())                                               \
                GTEST_FAIL() << "peer missing under CI=true: " << why;               \
            else                                                                     \
                GTEST_SKIP() << why;                                                 \
        }                                                                            \
    } while (0)

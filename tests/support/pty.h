// A pseudo-terminal pair for the tests that play the bus on the master side
// while a driver opens the slave by its path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PtyPair {
    int master = -1;    // raw: nothing echoed or translated on the bus side
    int slaveFd = -1;   // held, so that the master reads no hang-up between opens
    std::string slave;  // the slave's path; empty when no pair could be made

    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // What the master reads until want bytes came or a generous deadline passed.
    std::vector<uint8_t> read(size_t want);
};

#ifndef FUZZTARGETS_H
#define FUZZTARGETS_H

#include <QtGlobal>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

// The two fuzz targets as plain functions, so the replay test can run them without libFuzzer.
// Each file also defines LLVMFuzzerTestOneInput, unless KUVEL_FUZZ_REPLAY is set.

// Feeds the bytes through the receive path as the serial link does and checks every frame it
// decodes. Answers the number of frames decoded.
int fuzzReceive(const quint8 *data, size_t size);

// Decodes the first 256 bytes directly and checks the result. Answers the decode result.
int fuzzDecoder(const quint8 *data, size_t size);

// A broken invariant ends the process: libFuzzer keeps the input as a crash, and the replay
// test fails on the same abort.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: broken invariant: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

#endif // FUZZTARGETS_H

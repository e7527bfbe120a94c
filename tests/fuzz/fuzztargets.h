#ifndef FUZZTARGETS_H
#define FUZZTARGETS_H

#include <QtGlobal>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

// The fuzz targets as plain functions, so the replay test can run them without libFuzzer.
// Each file also defines LLVMFuzzerTestOneInput, unless KUVEL_FUZZ_REPLAY is set.

// Feeds the bytes through the link's frame reader and checks every frame it delivers. An input
// that starts with the escape byte first names a frame sent, whose echo the reader may drop.
// Answers the number of frames delivered.
int fuzzReceive(const quint8 *data, size_t size);

// Decodes the first 256 bytes directly and checks the result. Answers the decode result.
int fuzzDecoder(const quint8 *data, size_t size);

// Runs the counter driver against a line and device scripted by the bytes, and checks every
// value a read reports against the frames that came over the line. Needs no application
// object of its own: it creates one when there is none. Answers the operations run.
int fuzzDriver(const quint8 *data, size_t size);

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

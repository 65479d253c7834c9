// The package stream on the unpacker's standard input, read through one
// large buffer. The end of the input and a failed read are told apart: a
// failed read keeps its error number and nothing is read after it.
#ifndef BRINDLEX_TOOLS_UNPACK_INPUT_H_
#define BRINDLEX_TOOLS_UNPACK_INPUT_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads like read(2). Tests put a source here that fails on purpose or
// hands out one byte at a time.
using ReadFunction = ssize_t (*)(int fd, void* buffer, size_t size);

// The input and how far it has been read.
struct UnpackInput {
    int fd = 0;
    ReadFunction read_some = nullptr;  // nullptr: read(2)
    std::vector<unsigned char> buffer;
    size_t pos = 0;         // next byte to hand out in buffer
    size_t end = 0;         // end of the bytes held in buffer
    bool finished = false;  // the end was reached or a read failed
    int read_error = 0;     // errno of the failed read; 0 when none failed
    uint64_t offset = 0;    // bytes handed out so far
};

void input_init(UnpackInput& in, int fd, size_t buffer_size);

// Makes at least one byte available. False at the end of the input and
// after a failed read (read_error tells which).
bool input_fill(UnpackInput& in);

// The bytes available now without reading (call input_fill first).
inline size_t input_available(const UnpackInput& in) {
    return in.end - in.pos;
}
inline const unsigned char* input_bytes(const UnpackInput& in) {
    return in.buffer.data() + in.pos;
}
// Hands out n of the available bytes.
inline void input_consume(UnpackInput& in, size_t n) {
    in.pos += n;
    in.offset += n;
}

// Copies exactly n bytes; false when the input ends or fails first.
bool input_read(UnpackInput& in, void* out, size_t n);

// Passes over up to n bytes; returns how many there were.
uint64_t input_skip(UnpackInput& in, uint64_t n);

#endif  // BRINDLEX_TOOLS_UNPACK_INPUT_H_

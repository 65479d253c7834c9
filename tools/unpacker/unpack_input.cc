#include "unpack_input.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

void input_init(UnpackInput& in, int fd, size_t buffer_size) {
    in.fd = fd;
    in.buffer.resize(buffer_size);
    in.pos = in.end = 0;
    in.finished = false;
    in.read_error = 0;
    in.offset = 0;
}

bool input_fill(UnpackInput& in) {
    if (in.pos < in.end) return true;
    in.pos = in.end = 0;
    while (!in.finished) {
        ssize_t n = in.read_some ? in.read_some(in.fd, in.buffer.data(), in.buffer.size())
                                 : read(in.fd, in.buffer.data(), in.buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            in.read_error = errno != 0 ? errno : EIO;
            in.finished = true;
        } else if (n == 0) {
            in.finished = true;
        } else {
            in.end = size_t(n);
            return true;
        }
    }
    return false;
}

bool input_read(UnpackInput& in, void* out, size_t n) {
    unsigned char* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        if (!input_fill(in)) return false;
        size_t take = std::min(n, input_available(in));
        memcpy(p, input_bytes(in), take);
        input_consume(in, take);
        p += take;
        n -= take;
    }
    return true;
}

uint64_t input_skip(UnpackInput& in, uint64_t n) {
    uint64_t done = 0;
    while (done < n && input_fill(in)) {
        size_t take = size_t(std::min<uint64_t>(n - done, input_available(in)));
        input_consume(in, take);
        done += take;
    }
    return done;
}

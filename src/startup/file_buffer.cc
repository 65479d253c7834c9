#include "startup/file_buffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

bool read_whole_file(FileBuffer& buffer, const char* path) {
    buffer = FileBuffer();
    int fd = open(path, O_RDONLY);
    if (fd < 0) return false;
    struct stat status;
    if (fstat(fd, &status) != 0 || status.st_size < 0 || uint64_t(status.st_size) > UINT32_MAX) {
        close(fd);
        return false;
    }
    uint32_t size = uint32_t(status.st_size);
    unsigned char* data = nullptr;
    if (size > 0) {
        data = static_cast<unsigned char*>(malloc(size));
        if (data == nullptr) {
            close(fd);
            return false;
        }
    }
    uint32_t got = 0;
    while (got != size) {
        ssize_t n = read(fd, data + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        // The end of the file before size bytes is as bad as a read error:
        // the file changed under us, and waiting for more would never end.
        if (n <= 0) {
            free(data);
            close(fd);
            return false;
        }
        got += uint32_t(n);
    }
    close(fd);
    buffer.size = size;
    buffer.data = data;
    return true;
}

size_t take_bytes(FileBuffer& buffer, void* destination, size_t maximum) {
    size_t left = buffer.size - buffer.position;
    size_t count = left < maximum ? left : maximum;
    if (count == 0) return 0;
    memcpy(destination, buffer.data + buffer.position, count);
    buffer.position += uint32_t(count);
    return count;
}

void release_buffer(FileBuffer& buffer) {
    free(buffer.data);
    buffer = FileBuffer();
}

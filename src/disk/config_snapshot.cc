#include "disk/config_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Most chunk pieces handed to one read or write call.
constexpr int MAX_PIECES = 64;

// The snapshot being taken: its first chunk, the chunk being filled (the
// last of the chain), and the path of the object being recorded (grown and
// cut back as the walk descends).
struct SnapshotWriter {
    SnapshotChunk* first;
    SnapshotChunk* fill;
    char path[PATH_MAX];
    size_t path_length;
};

SnapshotChunk* new_chunk(int32_t capacity) {
    auto* chunk = static_cast<SnapshotChunk*>(malloc(sizeof(SnapshotChunk) + size_t(capacity)));
    if (chunk == nullptr) return nullptr;
    chunk->magic = SNAPSHOT_MAGIC;
    chunk->length = capacity;
    chunk->offset = 0;
    chunk->next = nullptr;
    return chunk;
}

int32_t free_space(const SnapshotChunk* chunk) {
    return chunk->length - chunk->offset;
}

// Appends a new chunk of the given capacity after the one being filled.
// Chunks keep their capacity in length until the snapshot is complete.
bool append_chunk(SnapshotWriter& writer, int32_t capacity) {
    SnapshotChunk* chunk = new_chunk(capacity);
    if (chunk == nullptr) return false;
    writer.fill->next = chunk;
    writer.fill = chunk;
    return true;
}

// Turns every chunk from filling into reading: length the bytes held,
// offset the read position.
void finish_chunks(SnapshotChunk* chunk) {
    for (; chunk != nullptr; chunk = chunk->next) {
        chunk->length = chunk->offset;
        chunk->offset = 0;
    }
}

// Appends the current path with its NUL, never split across chunks.
bool append_path(SnapshotWriter& writer) {
    if (writer.path_length + 1 > size_t(INT32_MAX)) return false;
    int32_t size = int32_t(writer.path_length + 1);
    if (free_space(writer.fill) < size && !append_chunk(writer, size)) return false;
    memcpy(chunk_data(writer.fill) + writer.fill->offset, writer.path, size_t(size));
    writer.fill->offset += size;
    return true;
}

// Appends bytes that may be split across chunks.
bool append_bytes(SnapshotWriter& writer, const void* bytes, size_t size) {
    auto* from = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
        if (free_space(writer.fill) == 0 && !append_chunk(writer, SNAPSHOT_CHUNK_SIZE)) {
            return false;
        }
        size_t piece = size_t(free_space(writer.fill));
        if (piece > size) piece = size;
        memcpy(chunk_data(writer.fill) + writer.fill->offset, from, piece);
        writer.fill->offset += int32_t(piece);
        from += piece;
        size -= piece;
    }
    return true;
}

// Reads exactly size bytes of content straight into the chain and checks
// that the file ends there. One read fills the free space of the current
// chunk and of as many new chunks as the rest needs, plus one probe byte
// that only a file longer than its recorded size reaches.
bool append_content(SnapshotWriter& writer, int fd, off_t size) {
    off_t remaining = size;
    for (;;) {
        iovec pieces[MAX_PIECES + 1];
        SnapshotChunk* owners[MAX_PIECES];
        int count = 0;
        off_t planned = 0;
        SnapshotChunk* chunk = writer.fill;
        while (planned < remaining && count < MAX_PIECES) {
            size_t piece = size_t(free_space(chunk));
            if (off_t(piece) > remaining - planned) piece = size_t(remaining - planned);
            if (piece > 0) {
                pieces[count].iov_base = chunk_data(chunk) + chunk->offset;
                pieces[count].iov_len = piece;
                owners[count] = chunk;
                planned += off_t(piece);
                ++count;
            }
            if (planned < remaining) {
                if (chunk->next == nullptr) {
                    chunk->next = new_chunk(SNAPSHOT_CHUNK_SIZE);
                    if (chunk->next == nullptr) return false;
                }
                chunk = chunk->next;
            }
        }
        char probe;
        bool final_read = planned == remaining;
        if (final_read) pieces[count++] = iovec{&probe, 1};
        ssize_t got;
        do {
            got = readv(fd, pieces, count);
        } while (got < 0 && errno == EINTR);
        if (got < 0 || got > planned) return false;  // a read error, or longer than recorded
        off_t left = got;
        for (int i = 0; left > 0; ++i) {
            off_t taken = std::min<off_t>(left, off_t(pieces[i].iov_len));
            owners[i]->offset += int32_t(taken);
            left -= taken;
        }
        while (free_space(writer.fill) == 0 && writer.fill->next != nullptr) {
            writer.fill = writer.fill->next;
        }
        remaining -= got;
        // A short read of a regular file is its end: exactly the size, or
        // shorter than recorded.
        if (final_read && got == planned) return true;
        if (got == 0) return false;
    }
}

bool record_path(SnapshotWriter& writer);

bool record_file(SnapshotWriter& writer, const struct stat& status) {
    int fd = open(writer.path, O_RDONLY);
    if (fd < 0) return false;
    bool ok = append_path(writer) && append_bytes(writer, &status, sizeof(status)) &&
              append_content(writer, fd, status.st_size);
    close(fd);
    return ok;
}

bool record_directory(SnapshotWriter& writer, const struct stat& status) {
    DIR* listing = opendir(writer.path);
    if (listing == nullptr) return false;
    bool ok = append_path(writer) && append_bytes(writer, &status, sizeof(status));
    size_t parent_length = writer.path_length;
    while (ok) {
        errno = 0;
        dirent* entry = readdir(listing);
        if (entry == nullptr) {
            ok = errno == 0;
            break;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        int length = snprintf(writer.path + parent_length, sizeof(writer.path) - parent_length,
                              "/%s", entry->d_name);
        if (length < 0 || size_t(length) >= sizeof(writer.path) - parent_length) {
            ok = false;  // the joined path does not fit: the entry cannot be recorded
            break;
        }
        writer.path_length = parent_length + size_t(length);
        ok = record_path(writer);
        writer.path_length = parent_length;
        writer.path[parent_length] = '\0';
    }
    closedir(listing);
    return ok;
}

bool record_path(SnapshotWriter& writer) {
    struct stat status;
    if (lstat(writer.path, &status) != 0) return false;
    if (S_ISREG(status.st_mode)) return record_file(writer, status);
    if (S_ISDIR(status.st_mode)) return record_directory(writer, status);
    return true;  // links, devices, pipes and sockets are not kept
}

// Read position in a finished snapshot.
struct SnapshotReader {
    SnapshotChunk* chunk;
};

// Passes over exhausted chunks; false when the stream has ended.
bool skip_exhausted(SnapshotReader& reader) {
    while (reader.chunk != nullptr && reader.chunk->offset >= reader.chunk->length) {
        reader.chunk = reader.chunk->next;
    }
    return reader.chunk != nullptr;
}

const char* take_path(SnapshotReader& reader) {
    if (!skip_exhausted(reader)) return nullptr;
    SnapshotChunk* chunk = reader.chunk;
    auto* start = chunk_data(chunk) + chunk->offset;
    auto* end =
        static_cast<unsigned char*>(memchr(start, 0, size_t(chunk->length - chunk->offset)));
    if (end == nullptr) return nullptr;
    chunk->offset += int32_t(end - start + 1);
    return reinterpret_cast<const char*>(start);
}

// Takes size bytes of the stream into bytes, or passes over them when bytes
// is null.
bool take_bytes(SnapshotReader& reader, void* bytes, size_t size) {
    auto* to = static_cast<unsigned char*>(bytes);
    while (size > 0) {
        if (!skip_exhausted(reader)) return false;
        SnapshotChunk* chunk = reader.chunk;
        size_t piece = size_t(chunk->length - chunk->offset);
        if (piece > size) piece = size;
        if (to != nullptr) {
            memcpy(to, chunk_data(chunk) + chunk->offset, piece);
            to += piece;
        }
        chunk->offset += int32_t(piece);
        size -= piece;
    }
    return true;
}

// Writes size bytes of the stream to fd, straight from the chunks; a write
// that transfers fewer bytes than asked fails.
bool copy_content(SnapshotReader& reader, int fd, off_t size) {
    while (size > 0) {
        iovec pieces[MAX_PIECES];
        int count = 0;
        off_t planned = 0;
        SnapshotChunk* chunk = reader.chunk;
        for (; chunk != nullptr && planned < size && count < MAX_PIECES; chunk = chunk->next) {
            size_t piece = size_t(chunk->length - chunk->offset);
            if (piece == 0) continue;
            if (off_t(piece) > size - planned) piece = size_t(size - planned);
            pieces[count].iov_base = chunk_data(chunk) + chunk->offset;
            pieces[count].iov_len = piece;
            planned += off_t(piece);
            ++count;
        }
        if (count == 0) return false;  // the stream ends inside the content
        ssize_t put;
        do {
            put = writev(fd, pieces, count);
        } while (put < 0 && errno == EINTR);
        if (put != ssize_t(planned)) return false;
        if (!take_bytes(reader, nullptr, size_t(planned))) return false;
        size -= planned;
    }
    return true;
}

void set_times(const char* path, const struct stat& status) {
    utimbuf times;
    times.actime = status.st_atime;
    times.modtime = status.st_mtime;
    utime(path, &times);
}

bool restore_file(SnapshotReader& reader, const char* path, const struct stat& status) {
    // Truncated, so that an existing longer file keeps no stale tail.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 && status.st_size == 0) return true;  // nothing to write: skipped
    if (fd < 0 || !copy_content(reader, fd, status.st_size)) {
        if (fd >= 0) close(fd);
        return false;
    }
    // Owner first: a change of owner clears the set-id bits of the mode.
    if (fchown(fd, status.st_uid, status.st_gid) != 0) {
        // ignored
    }
    fchmod(fd, status.st_mode & 07777);
    timespec times[2] = {{status.st_atime, 0}, {status.st_mtime, 0}};
    futimens(fd, times);  // closing the file leaves its times alone
    // The content is on the disk only once fsync says so: a disk that fails
    // the write shows there, not in the writes into the kernel's cache.
    bool written = fsync(fd) == 0;
    close(fd);
    return written;
}

bool restore_directory(const char* path, const struct stat& status) {
    if (mkdir(path, 0700) != 0) return false;
    if (chown(path, status.st_uid, status.st_gid) != 0) {
        // ignored
    }
    chmod(path, status.st_mode & 07777);
    set_times(path, status);
    return true;
}

bool restore_objects(SnapshotReader& reader) {
    while (skip_exhausted(reader)) {
        const char* path = take_path(reader);
        struct stat status;
        if (path == nullptr || !take_bytes(reader, &status, sizeof(status))) return false;
        if (S_ISREG(status.st_mode)) {
            if (!restore_file(reader, path, status)) return false;
        } else if (S_ISDIR(status.st_mode)) {
            if (!restore_directory(path, status)) return false;
        }
    }
    return true;
}

}  // namespace

ConfigSnapshot* take_snapshot(const char* path) {
    auto* writer = static_cast<SnapshotWriter*>(malloc(sizeof(SnapshotWriter)));
    if (writer == nullptr) return nullptr;
    writer->first = writer->fill = new_chunk(SNAPSHOT_CHUNK_SIZE);
    int length = snprintf(writer->path, sizeof(writer->path), "%s", path);
    bool ok = writer->first != nullptr && length >= 0 && size_t(length) < sizeof(writer->path);
    if (ok) {
        writer->path_length = size_t(length);
        ok = record_path(*writer);
    }
    ConfigSnapshot* snapshot = writer->first;
    if (ok) {
        finish_chunks(snapshot);
    } else {
        release_snapshot(snapshot);
        snapshot = nullptr;
    }
    free(writer);
    return snapshot;
}

bool restore_snapshot(ConfigSnapshot* snapshot) {
    if (snapshot == nullptr || snapshot->magic != SNAPSHOT_MAGIC) return false;
    SnapshotReader reader{snapshot};
    bool ok = restore_objects(reader);
    release_snapshot(snapshot);
    return ok;
}

void release_snapshot(ConfigSnapshot* snapshot) {
    while (snapshot != nullptr) {
        SnapshotChunk* next = snapshot->next;
        snapshot->magic = 0;
        free(snapshot);
        snapshot = next;
    }
}

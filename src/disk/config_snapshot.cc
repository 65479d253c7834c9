#include "disk/config_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The snapshot being taken: its first and its last chunk, and the path of
// the object being recorded (grown and cut back as the walk descends).
struct SnapshotWriter {
    SnapshotChunk* first;
    SnapshotChunk* last;
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

// Finishes the last chunk and appends a new one of the given capacity.
bool append_chunk(SnapshotWriter& writer, int32_t capacity) {
    SnapshotChunk* chunk = new_chunk(capacity);
    if (chunk == nullptr) return false;
    writer.last->length = writer.last->offset;
    writer.last->offset = 0;
    writer.last->next = chunk;
    writer.last = chunk;
    return true;
}

int32_t free_space(const SnapshotChunk* chunk) {
    return chunk->length - chunk->offset;
}

// Appends the current path with its NUL, never split across chunks.
bool append_path(SnapshotWriter& writer) {
    if (writer.path_length + 1 > size_t(INT32_MAX)) return false;
    int32_t size = int32_t(writer.path_length + 1);
    if (free_space(writer.last) < size && !append_chunk(writer, size)) return false;
    memcpy(chunk_data(writer.last) + writer.last->offset, writer.path, size_t(size));
    writer.last->offset += size;
    return true;
}

// Appends bytes that may be split across chunks.
bool append_bytes(SnapshotWriter& writer, const void* bytes, size_t size) {
    auto* from = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
        if (free_space(writer.last) == 0 && !append_chunk(writer, SNAPSHOT_CHUNK_SIZE)) {
            return false;
        }
        size_t piece = size_t(free_space(writer.last));
        if (piece > size) piece = size;
        memcpy(chunk_data(writer.last) + writer.last->offset, from, piece);
        writer.last->offset += int32_t(piece);
        from += piece;
        size -= piece;
    }
    return true;
}

ssize_t read_retrying(int fd, void* buffer, size_t size) {
    ssize_t got;
    do {
        got = read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Reads exactly size bytes of content straight into the chain and checks
// that the file ends there.
bool append_content(SnapshotWriter& writer, int fd, off_t size) {
    off_t remaining = size;
    while (remaining > 0) {
        if (free_space(writer.last) == 0 && !append_chunk(writer, SNAPSHOT_CHUNK_SIZE)) {
            return false;
        }
        size_t piece = size_t(free_space(writer.last));
        if (off_t(piece) > remaining) piece = size_t(remaining);
        ssize_t got = read_retrying(fd, chunk_data(writer.last) + writer.last->offset, piece);
        if (got <= 0) return false;  // a read error, or shorter than recorded
        writer.last->offset += int32_t(got);
        remaining -= got;
    }
    char probe;
    return read_retrying(fd, &probe, 1) == 0;  // longer than recorded fails too
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

bool take_bytes(SnapshotReader& reader, void* bytes, size_t size) {
    auto* to = static_cast<unsigned char*>(bytes);
    while (size > 0) {
        if (!skip_exhausted(reader)) return false;
        SnapshotChunk* chunk = reader.chunk;
        size_t piece = size_t(chunk->length - chunk->offset);
        if (piece > size) piece = size;
        memcpy(to, chunk_data(chunk) + chunk->offset, piece);
        chunk->offset += int32_t(piece);
        to += piece;
        size -= piece;
    }
    return true;
}

// Writes size bytes of the stream to fd, straight from the chunks.
bool copy_content(SnapshotReader& reader, int fd, off_t size) {
    while (size > 0) {
        if (!skip_exhausted(reader)) return false;
        SnapshotChunk* chunk = reader.chunk;
        size_t piece = size_t(chunk->length - chunk->offset);
        if (off_t(piece) > size) piece = size_t(size);
        ssize_t put;
        do {
            put = write(fd, chunk_data(chunk) + chunk->offset, piece);
        } while (put < 0 && errno == EINTR);
        if (put != ssize_t(piece)) return false;
        chunk->offset += int32_t(piece);
        size -= off_t(piece);
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
    close(fd);
    set_times(path, status);
    return true;
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
    writer->first = writer->last = new_chunk(SNAPSHOT_CHUNK_SIZE);
    int length = snprintf(writer->path, sizeof(writer->path), "%s", path);
    bool ok = writer->first != nullptr && length >= 0 && size_t(length) < sizeof(writer->path);
    if (ok) {
        writer->path_length = size_t(length);
        ok = record_path(*writer);
    }
    ConfigSnapshot* snapshot = writer->first;
    if (ok) {
        writer->last->length = writer->last->offset;
        writer->last->offset = 0;
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

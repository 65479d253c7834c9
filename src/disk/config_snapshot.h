#pragma once
#include <cstdint>

// Marks a chunk that is alive; cleared just before the chunk is freed.
constexpr uint32_t SNAPSHOT_MAGIC = 0x5A0937EB;
// Capacity of an ordinary chunk's data area.
constexpr int32_t SNAPSHOT_CHUNK_SIZE = 16000;

// One block of a snapshot: this header, directly followed by its data area
// in the same allocation.
struct SnapshotChunk {
    uint32_t magic;       // SNAPSHOT_MAGIC while alive
    int32_t length;       // filling: capacity; finished: bytes held
    int32_t offset;       // filling: bytes used; finished: read position
    SnapshotChunk* next;  // the following chunk, or null
};

// A directory tree held in memory: a chain of chunks whose data areas form
// one stream of records (path with NUL, the lstat record, and for regular
// files the content). Handed around as its first chunk.
using ConfigSnapshot = SnapshotChunk;

// The data area of a chunk.
inline unsigned char* chunk_data(SnapshotChunk* chunk) {
    return reinterpret_cast<unsigned char*>(chunk + 1);
}

// Reads the tree at path (directories and regular files; links, devices,
// pipes and sockets are left out) into memory. Null on any failure.
ConfigSnapshot* take_snapshot(const char* path);

// Recreates the recorded objects at their recorded paths, then releases the
// snapshot. False on the first object that cannot be restored.
bool restore_snapshot(ConfigSnapshot* snapshot);

// Clears the magic of every chunk and frees the chain, first to last.
void release_snapshot(ConfigSnapshot* snapshot);

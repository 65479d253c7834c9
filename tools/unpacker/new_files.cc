#include "new_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A temporary name that exists now, for the signal handler to remove.
struct CleanupSlot {
    volatile sig_atomic_t used;
    int dir;
    char name[TEMPORARY_NAME_SIZE];
};

// A file and its record file, each with one temporary name at most, and a
// link: three at a time is the most the unpacker holds.
constexpr int CLEANUP_SLOTS = 4;
CleanupSlot cleanup_slots[CLEANUP_SLOTS];

// How a file written without a name gets one: not tried yet, through an
// empty path (needs the capability to link any open file), through
// /proc/self/fd, or not at all (then every file gets a temporary name).
enum class UnnamedFiles { UNTRIED, EMPTY_PATH, PROC_PATH, UNUSABLE };
UnnamedFiles unnamed_files = UnnamedFiles::UNTRIED;

unsigned temporary_counter = 0;

int claim_slot(int dir, const char* name) {
    for (int i = 0; i < CLEANUP_SLOTS; ++i) {
        if (cleanup_slots[i].used) continue;
        cleanup_slots[i].dir = dir;
        snprintf(cleanup_slots[i].name, sizeof cleanup_slots[i].name, "%s", name);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        cleanup_slots[i].used = 1;
        return i;
    }
    return -1;
}

void release_slot(int slot) {
    if (slot >= 0) cleanup_slots[slot].used = 0;
}

void remove_on_signal(int sig) {
    int saved = errno;
    for (CleanupSlot& slot : cleanup_slots)
        if (slot.used) unlinkat(slot.dir, slot.name, 0);
    errno = saved;
    signal(sig, SIG_DFL);
    raise(sig);
}

// Makes a fresh temporary name in dir by calling make(name), which returns
// 0 or -1 with errno like openat or symlinkat. A name that exists already
// is the leftover of a killed run of this process number: it is removed
// and the name used again; one that cannot be removed (a directory) is
// passed over. The name stays claimed for the signal handler on success.
template <typename Make>
int make_temporary(int dir, char* name, int* slot, Make make) {
    pid_t pid = getpid();
    for (int attempt = 0; attempt < 100; ++attempt) {
        snprintf(name, TEMPORARY_NAME_SIZE, ".unpack-%ld-%u", long(pid), ++temporary_counter);
        *slot = claim_slot(dir, name);
        int result = make(name);
        if (result < 0 && errno == EEXIST && unlinkat(dir, name, 0) == 0) result = make(name);
        if (result >= 0) return result;
        int e = errno;
        release_slot(*slot);
        *slot = -1;
        errno = e;
        if (e != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

bool link_unnamed(int fd, int dir, const char* name) {
    if (unnamed_files == UnnamedFiles::EMPTY_PATH)
        return linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0;
    char proc_path[40];
    snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, proc_path, dir, name, AT_SYMLINK_FOLLOW) == 0;
}

// Learns, before the first unnamed file is used, how such a file gets a
// name: a throwaway one (a file once linked cannot be linked again after
// its name is removed) is linked under a temporary name, which is removed.
void learn_unnamed_files(int dir) {
    int probe = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    unnamed_files = UnnamedFiles::UNUSABLE;
    if (probe < 0) return;
    char name[TEMPORARY_NAME_SIZE];
    for (UnnamedFiles way : {UnnamedFiles::EMPTY_PATH, UnnamedFiles::PROC_PATH}) {
        unnamed_files = way;
        int slot = -1;
        int made = make_temporary(
            dir, name, &slot, [&](const char* n) { return link_unnamed(probe, dir, n) ? 0 : -1; });
        if (made == 0) {
            unlinkat(dir, name, 0);
            release_slot(slot);
            close(probe);
            return;
        }
    }
    unnamed_files = UnnamedFiles::UNUSABLE;
    close(probe);
}

// Gives the complete unnamed file the name leaf; an existing file or link
// of that name is replaced through a temporary name.
bool name_unnamed(NewFile& file, const char* leaf, std::string* why) {
    if (link_unnamed(file.fd, file.dir, leaf)) return true;
    if (errno != EEXIST) {
        *why = strerror(errno);
        return false;
    }
    int slot = -1;
    if (make_temporary(file.dir, file.temp, &slot, [&](const char* n) {
            return link_unnamed(file.fd, file.dir, n) ? 0 : -1;
        }) != 0) {
        *why = std::string("cannot make the temporary name ") + file.temp + ": " + strerror(errno);
        return false;
    }
    bool placed = renameat(file.dir, file.temp, file.dir, leaf) == 0;
    if (!placed) {
        *why = strerror(errno);
        unlinkat(file.dir, file.temp, 0);
    }
    release_slot(slot);
    return placed;
}

// Closes a placed or discarded file and forgets its temporary name.
void forget_new_file(NewFile& file) {
    close(file.fd);
    file.fd = -1;
    file.slot = -1;
    file.temp[0] = '\0';
}

}  // namespace

std::string temporary_name(pid_t pid, unsigned n) {
    char name[TEMPORARY_NAME_SIZE];
    snprintf(name, sizeof name, ".unpack-%ld-%u", long(pid), n);
    return name;
}

bool new_file_open(NewFile& file, int dir, mode_t mode, std::string* why) {
    file.dir = dir;
    file.slot = -1;
    file.temp[0] = '\0';
    if (unnamed_files == UnnamedFiles::UNTRIED) learn_unnamed_files(dir);
    if (unnamed_files != UnnamedFiles::UNUSABLE) {
        file.fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (file.fd >= 0) return true;
        // This file system cannot: the file gets a temporary name.
    }
    file.fd = make_temporary(dir, file.temp, &file.slot, [&](const char* n) {
        return openat(dir, n, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    });
    if (file.fd < 0) {
        *why = std::string("cannot make a temporary file: ") + strerror(errno);
        return false;
    }
    return true;
}

bool new_file_place(NewFile& file, const char* leaf, std::string* why) {
    bool placed;
    if (file.temp[0] == '\0') {
        placed = name_unnamed(file, leaf, why);
    } else {
        placed = renameat(file.dir, file.temp, file.dir, leaf) == 0;
        if (!placed) {
            *why = strerror(errno);
            unlinkat(file.dir, file.temp, 0);
        }
        release_slot(file.slot);
    }
    forget_new_file(file);
    return placed;
}

void new_file_discard(NewFile& file) {
    if (file.fd < 0) return;
    if (file.temp[0] != '\0') {
        unlinkat(file.dir, file.temp, 0);
        release_slot(file.slot);
    }
    forget_new_file(file);
}

bool place_symlink(int dir, const char* leaf, const std::string& target, bool chown_link, uid_t uid,
                   gid_t gid, const struct timespec times[2], std::string* why) {
    // Nothing of that name yet: the link is made in place.
    if (symlinkat(target.c_str(), dir, leaf) == 0) {
        if (chown_link) fchownat(dir, leaf, uid, gid, AT_SYMLINK_NOFOLLOW);
        utimensat(dir, leaf, times, AT_SYMLINK_NOFOLLOW);
        return true;
    }
    if (errno != EEXIST) {
        *why = std::string("cannot make the link: ") + strerror(errno);
        return false;
    }
    char temp[TEMPORARY_NAME_SIZE];
    int slot = -1;
    if (make_temporary(dir, temp, &slot,
                       [&](const char* n) { return symlinkat(target.c_str(), dir, n); }) != 0) {
        *why = std::string("cannot make the link under a temporary name: ") + strerror(errno);
        return false;
    }
    if (chown_link) fchownat(dir, temp, uid, gid, AT_SYMLINK_NOFOLLOW);
    utimensat(dir, temp, times, AT_SYMLINK_NOFOLLOW);
    bool placed = renameat(dir, temp, dir, leaf) == 0;
    if (!placed) {
        *why = std::string("cannot put it in place: ") + strerror(errno);
        unlinkat(dir, temp, 0);
    }
    release_slot(slot);
    return placed;
}

void install_cleanup_on_signals() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = remove_on_signal;
    sigfillset(&action.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
}

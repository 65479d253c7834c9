#include "netinstall/received_files.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "console/child_process.h"
#include "console/unpacker_run.h"

const FileDestination NEW_SYSTEM = {"/mnt", "/sbin/installer"};

namespace {

// Bytes asked of the receiver and written at once.
constexpr int COPY_BLOCK_SIZE = 4096;

// Paths of the script: the root, a '/', the name (as the new system's
// other paths, at most 79 characters).
constexpr int SCRIPT_PATH_SIZE = 80;

void say(const char* line) {
    puts(line);
    fflush(stdout);
}

// How copying one file ended.
enum class Copy { COMPLETE, NETWORK_FAILED, WRITE_FAILED };

// Delivers the current file into out, one item per received piece.
Copy copy_file(InstallClient& client, FILE* out) {
    uint8_t data[COPY_BLOCK_SIZE];
    for (;;) {
        int n = receive_file_data(*client.receiver, data, COPY_BLOCK_SIZE);
        if (n < 0) return Copy::NETWORK_FAILED;
        if (n == 0) return Copy::COMPLETE;
        if (fwrite(data, static_cast<size_t>(n), 1, out) != 1) return Copy::WRITE_FAILED;
    }
}

// The script's file below the root, or null. Only a plain name is taken,
// and an existing link of that name is not followed: nothing outside the
// new system can be written through the name the server chose.
FILE* create_script(const char* root, const char* name) {
    if (strchr(name, '/') != nullptr) return nullptr;
    char path[SCRIPT_PATH_SIZE];
    int length = snprintf(path, sizeof path, "%s/%s", root, name);
    if (length < 0 || length >= SCRIPT_PATH_SIZE) return nullptr;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) close(fd);
    return file;
}

void report_write_failure(int error) {
    printf("\nFATAL ERROR: installation failed: %s\n", strerror(error));
    fflush(stdout);
}

bool receive_script(InstallClient& client, const char* root, const char* name) {
    say("Writing configuration...");
    FILE* script = create_script(root, name);
    if (script == nullptr) {
        say("\nFATAL ERROR: couldn't make script");
        return false;
    }
    errno = 0;
    Copy copied = copy_file(client, script);
    if (copied == Copy::NETWORK_FAILED) {
        fclose(script);
        say("\nFATAL ERROR: bad network connection");
        return false;
    }
    if (copied == Copy::WRITE_FAILED) {
        report_write_failure(errno);
        fclose(script);
        return false;
    }
    // The last buffered bytes are written only now.
    if (fclose(script) != 0) {
        report_write_failure(errno);
        return false;
    }
    return true;
}

bool receive_package(InstallClient& client, const FileDestination& destination) {
    FILE* pipe = open_write_pipe(destination.unpacker, "-r", destination.root, "-", nullptr);
    if (pipe == nullptr) {
        say("\nFATAL ERROR: couldn't start install");
        return false;
    }
    Copy copied = copy_file(client, pipe);
    if (copied == Copy::NETWORK_FAILED) {
        close_unpacker(pipe);
        say("\nFATAL ERROR: bad network connection");
        return false;
    }
    // The last bytes leave the stream only at the close: a close that fails
    // is a write that failed, and so is an unpacker that could not install
    // what it read (its exit status).
    if (!close_unpacker(pipe) || copied == Copy::WRITE_FAILED) {
        say("");
        return false;
    }
    return true;
}

}  // namespace

bool is_script_name(const char* name) {
    size_t length = strlen(name);
    return length > 4 && strcmp(name + length - 4, ".scr") == 0;
}

bool receive_files(InstallClient& client, const FileDestination& destination) {
    char name[NEXT_FILE_NAME_SIZE];
    int size = 0;
    while (next_file(client, name, size) && size != 0) {
        if (is_script_name(name)) return receive_script(client, destination.root, name);
        if (!receive_package(client, destination)) return false;
    }
    return true;
}

#include "netinstall/file_sender.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "netinstall/file_header.h"
#include "netinstall/protocol_messages.h"
#include "netinstall/reliable_send.h"

namespace {

// The name the configuration script is stored under on the router.
const char SCRIPT_NAME[] = "autorun.scr";

// Reads up to wanted bytes; the count, 0 at the end of the file, -1 on error.
int read_some(int fd, uint8_t* buffer, int wanted) {
    for (;;) {
        ssize_t n = read(fd, buffer, static_cast<size_t>(wanted));
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return -1;
    }
}

// Whether an answer to a send is the router's "TERM": a message with
// content, no acknowledgement.
bool ends_conversation(const uint8_t* reply, int length) {
    DatagramHeader header = read_header(reply);
    return header.kind == KIND_TEXT && !(header.flags & ACK_FLAG) &&
           payload_begins_with(reply, length, TAG_TERMINATION);
}

}  // namespace

void init_file_sender(FileSender& sender, NetEndpoint& endpoint, LinkState& link) {
    memset(sender.datagram, 0, sizeof sender.datagram);
    sender.from_file = false;
    sender.file_fd = -1;
    sender.text = nullptr;
    sender.size = 0;
    sender.taken = 0;
    sender.endpoint = &endpoint;
    sender.link = &link;
    sender.peer_ended = false;
}

bool start_file(FileSender& sender, const char* source, bool from_file) {
    sender.from_file = from_file;
    sender.taken = 0;
    const char* name = SCRIPT_NAME;
    if (from_file) {
        sender.file_fd = open(source, O_RDONLY | O_CLOEXEC);
        struct stat status;
        if (sender.file_fd < 0 || fstat(sender.file_fd, &status) != 0 || status.st_size > INT_MAX) {
            puts("FATAL ERROR: Open package failed");
            fflush(stdout);
            return false;
        }
        const char* slash = strrchr(source, '/');
        if (slash == nullptr) {
            puts("FATAL ERROR: Bad package name");
            fflush(stdout);
            return false;
        }
        name = slash + 1;
        sender.size = static_cast<int>(status.st_size);
        printf("Transfering: %s...\n", name);
    } else {
        sender.text = source;
        sender.size = static_cast<int>(strlen(source));
        puts("Transfering: configuration...");
    }
    fflush(stdout);

    char* text = reinterpret_cast<char*>(sender.datagram + HEADER_SIZE);
    int length = format_file_header(text, MAX_BLOCK + 1, name, sender.size);
    if (length < 0) {
        puts("FATAL ERROR: Bad package name");
        fflush(stdout);
        return false;
    }
    build_header(*sender.link, sender.datagram, length, false, KIND_TEXT);
    return true;
}

int send_next(FileSender& sender, bool advance) {
    int taken_now = 0;
    if (advance) {
        if (sender.taken >= sender.size) return 0;
        // Never more than the size the header announced.
        int wanted = sender.size - sender.taken;
        if (wanted > MAX_BLOCK) wanted = MAX_BLOCK;
        uint8_t* payload = sender.datagram + HEADER_SIZE;
        if (sender.from_file) {
            taken_now = read_some(sender.file_fd, payload, wanted);
            // A file that ends before its size cannot be sent whole.
            if (taken_now <= 0) return -1;
        } else {
            memcpy(payload, sender.text + sender.taken, static_cast<size_t>(wanted));
            taken_now = wanted;
        }
        sender.taken += taken_now;
        sender.link->send_seq++;
        build_header(*sender.link, sender.datagram, taken_now, false, KIND_DATA);
    }
    int length = HEADER_SIZE + read_header(sender.datagram).payload_length;
    send_datagram(*sender.endpoint, sender.datagram, length);
    return taken_now;
}

bool transfer_file(FileSender& sender) {
    uint8_t reply[RECEIVE_BUFFER_SIZE];
    int tries_left = FILE_TRIES;
    bool advance = false;
    bool first = true;
    int64_t timeout = FILE_HEADER_WAIT_US;
    for (;;) {
        if (advance) tries_left = FILE_TRIES;
        int taken = send_next(sender, advance);
        if (taken < 0) {
            puts("FATAL ERROR: Read package failed");
            fflush(stdout);
            return false;
        }
        if (advance && taken == 0) return true;
        if (first) timeout = FILE_HEADER_WAIT_US;
        int answer = wait_reply(*sender.endpoint, *sender.link, reply, timeout);
        if (answer >= 0 && ends_conversation(reply, answer)) {
            uint8_t ack[HEADER_SIZE];
            send_datagram(*sender.endpoint, ack, build_acknowledgement(*sender.link, ack));
            sender.peer_ended = true;
            if (!first && sender.taken == sender.size) return true;
            puts(STOPPED_BY_ROUTER);
            fflush(stdout);
            return false;
        }
        if (answer >= 0) {
            first = false;
            advance = true;
            timeout = FIRST_BLOCK_WAIT_US;
        } else {
            if (tries_left == 1) {
                puts("FATAL ERROR: Installation timeout");
                fflush(stdout);
                return false;
            }
            --tries_left;
            advance = false;
            if (timeout <= LONGEST_DOUBLED_WAIT_US) timeout *= 2;
        }
    }
}

void close_file_sender(FileSender& sender) {
    if (sender.file_fd != -1) close(sender.file_fd);
    sender.file_fd = -1;
}

uint64_t file_sequence_numbers(int64_t size) {
    if (size <= 0) return 1;
    return 1 + (static_cast<uint64_t>(size) + MAX_BLOCK - 1) / MAX_BLOCK;
}

bool files_fit_conversation(uint64_t file_numbers) {
    return FIRST_FILE_SEQUENCE + file_numbers <= LAST_SEQUENCE;
}

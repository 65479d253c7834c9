#include "netinstall/net_endpoint.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/filter.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "netinstall/key_input.h"

namespace {

// An interface request for name: zeroed, the name cut to the kernel's limit.
ifreq interface_request(const char* name) {
    ifreq request;
    memset(&request, 0, sizeof request);
    copy_interface_name(request.ifr_name, name);
    return request;
}

// select cannot watch descriptors at or above FD_SETSIZE.
bool selectable(int fd) {
    return fd >= 0 && fd < FD_SETSIZE;
}

// The descriptor datagrams come in on: the inbox when there is one.
int receiving_fd(const NetEndpoint& endpoint) {
    return endpoint.inbox_fd >= 0 ? endpoint.inbox_fd : endpoint.socket_fd;
}

// Receives with the given recvfrom flags; -1 as receive_datagram, and
// NOTHING_QUEUED when a non-blocking receive found nothing.
int receive_with(NetEndpoint& endpoint, uint8_t* buffer, int flags) {
    if (endpoint.inbox_fd >= 0) {
        // The demultiplexer took the datagram from the installation port
        // whole; only the length is left to check.
        ssize_t length = recv(endpoint.inbox_fd, buffer, RECEIVE_BUFFER_SIZE, flags | MSG_TRUNC);
        if (length < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? NOTHING_QUEUED : -1;
        return length > RECEIVE_BUFFER_SIZE ? -1 : static_cast<int>(length);
    }
    socklen_t source_length = sizeof endpoint.source;
    // MSG_TRUNC: the datagram's real length, even when it did not fit.
    ssize_t length = recvfrom(endpoint.socket_fd, buffer, RECEIVE_BUFFER_SIZE, flags | MSG_TRUNC,
                              reinterpret_cast<sockaddr*>(&endpoint.source), &source_length);
    if (length < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? NOTHING_QUEUED : -1;
    if (ntohs(endpoint.source.sin_port) != INSTALL_PORT) return -1;
    // Cut to the buffer, it might still look whole: no sender of this
    // protocol sends that much, so it is dropped.
    if (length > RECEIVE_BUFFER_SIZE) return -1;
    return static_cast<int>(length);
}

}  // namespace

void copy_interface_name(char* to, const char* from) {
    size_t length = strnlen(from, INTERFACE_NAME_SIZE - 1);
    memcpy(to, from, length);
    to[length] = '\0';
}

bool open_endpoint(NetEndpoint& endpoint, const char* interface_name, uint16_t port) {
    endpoint.socket_fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (endpoint.socket_fd <= 0) return false;
    int fd = endpoint.socket_fd;

    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return false;

    // The option's length includes the name's terminator.
    char name[INTERFACE_NAME_SIZE];
    copy_interface_name(name, interface_name);
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, strlen(name) + 1) != 0) return false;

    ifreq request = interface_request(name);
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) return false;
    request.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_PROMISC;
    if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) return false;

    // An interface with an address keeps it; one without gets 0.0.0.0.
    request = interface_request(name);
    if (ioctl(fd, SIOCGIFADDR, &request) != 0) {
        request = interface_request(name);
        sockaddr_in any;
        memset(&any, 0, sizeof any);
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        memcpy(&request.ifr_addr, &any, sizeof any);
        if (ioctl(fd, SIOCSIFADDR, &request) != 0) return false;
    }

    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;

    memset(&endpoint.destination, 0, sizeof endpoint.destination);
    endpoint.destination.sin_family = AF_INET;
    endpoint.destination.sin_port = htons(port);
    endpoint.destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return true;
}

bool keep_own_datagrams(NetEndpoint& endpoint) {
    // A socket filter sees the datagram from its UDP header on: dst_mac is
    // at 8 + 6. Loads past the end (a datagram too short) drop it.
    constexpr uint32_t DST_MAC = 8 + MAC_LENGTH;
    const uint8_t* mac = endpoint.mac;
    uint32_t high =
        (uint32_t{mac[0]} << 24) | (uint32_t{mac[1]} << 16) | (uint32_t{mac[2]} << 8) | mac[3];
    uint32_t low = (uint32_t{mac[4]} << 8) | mac[5];
    sock_filter code[] = {
        // To this endpoint's MAC: taken.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, DST_MAC),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, high, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, DST_MAC + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, low, 4, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),
        // To nobody (an announcement): taken.
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, DST_MAC + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffffu),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return endpoint.socket_fd > 0 && setsockopt(endpoint.socket_fd, SOL_SOCKET, SO_ATTACH_FILTER,
                                                &program, sizeof program) == 0;
}

void close_endpoint(NetEndpoint& endpoint) {
    if (endpoint.socket_fd > 0) close(endpoint.socket_fd);
    endpoint.socket_fd = -1;
}

int send_datagram(NetEndpoint& endpoint, const uint8_t* bytes, int length) {
    if (length < 0) return -1;
    return static_cast<int>(sendto(endpoint.socket_fd, bytes, static_cast<size_t>(length), 0,
                                   reinterpret_cast<sockaddr*>(&endpoint.destination),
                                   sizeof endpoint.destination));
}

int poll_datagram(NetEndpoint& endpoint, uint8_t* buffer) {
    if (endpoint.inbox_fd < 0 && endpoint.socket_fd <= 0) return NOTHING_QUEUED;
    return receive_with(endpoint, buffer, MSG_DONTWAIT);
}

int receive_datagram(NetEndpoint& endpoint, uint8_t* buffer) {
    int length = receive_with(endpoint, buffer, 0);
    return length == NOTHING_QUEUED ? -1 : length;
}

int wait_datagram(NetEndpoint& endpoint, uint8_t* buffer, int64_t timeout_us) {
    int fd = receiving_fd(endpoint);
    if (!selectable(fd)) return -1;
    // A datagram already queued (in a transfer, often: our own broadcast
    // back, or the peer's quick answer) is taken without waiting.
    int queued = receive_with(endpoint, buffer, MSG_DONTWAIT);
    if (queued != NOTHING_QUEUED) return queued;
    if (timeout_us < 0) timeout_us = 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval limit;
    limit.tv_sec = static_cast<time_t>(timeout_us / 1000000);
    limit.tv_usec = static_cast<suseconds_t>(timeout_us % 1000000);
    if (select(fd + 1, &readable, nullptr, nullptr, &limit) <= 0) return -1;
    return receive_datagram(endpoint, buffer);
}

int wait_datagram_or_key(NetEndpoint& endpoint, uint8_t* buffer) {
    if (key_buffered()) return KEY_WAITING;
    int fd = receiving_fd(endpoint);
    if (!selectable(fd)) return 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(0, &readable);
    FD_SET(fd, &readable);
    int ready = select(fd + 1, &readable, nullptr, nullptr, nullptr);
    if (ready < 0) return errno == EINTR ? -1 : 0;
    if (ready == 0) return 0;
    if (FD_ISSET(0, &readable)) return KEY_WAITING;
    return receive_datagram(endpoint, buffer);
}

int64_t now_us() {
    // Only ever used for intervals: a clock that steps (an operator or a
    // time service setting it) must not stretch or cut a wait.
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

void pause_us(int64_t duration) {
    timespec left = {static_cast<time_t>(duration / 1000000),
                     static_cast<long>(duration % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

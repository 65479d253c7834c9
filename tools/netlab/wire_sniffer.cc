#include "wire_sniffer.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

int64_t wall_clock_us() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// The child: appends one record per frame (time, length, snap bytes at
// most) to file until a byte (or the end) arrives on standard input.
int record(const std::string& interface, const std::string& file, int snap) {
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd < 0) return 1;
    int buffer_size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
    // The kernel's own time of each frame: the recorder's scheduling on a
    // busy machine does not shift it.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_ll where = {};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_ALL);
    where.sll_ifindex = static_cast<int>(if_nametoindex(interface.c_str()));
    if (where.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0)
        return 2;
    FILE* out = fopen(file.c_str(), "wb");
    if (out == nullptr) return 3;
    printf("READY\n");
    fflush(stdout);
    pollfd watched[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    std::vector<uint8_t> frame(65536);
    for (;;) {
        if (poll(watched, 2, -1) < 0) continue;
        if (watched[0].revents & POLLIN) {
            iovec part = {frame.data(), frame.size()};
            alignas(cmsghdr) char control[256];
            msghdr message = {};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t n = recvmsg(fd, &message, 0);
            int64_t at = wall_clock_us();
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp;
                    memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                    at = int64_t{stamp.tv_sec} * 1000000 + stamp.tv_nsec / 1000;
                }
            }
            if (n > 0) {
                int32_t kept = static_cast<int32_t>(n < snap ? n : snap);
                fwrite(&at, sizeof at, 1, out);
                fwrite(&kept, sizeof kept, 1, out);
                fwrite(frame.data(), 1, static_cast<size_t>(kept), out);
            }
            continue;
        }
        if (watched[1].revents & (POLLIN | POLLHUP)) break;
    }
    fclose(out);
    return 0;
}

}  // namespace

bool start_sniffer(WireSniffer& sniffer, const NetNamespace& ns, const std::string& interface,
                   int snap) {
    char name[] = "/tmp/wire-sniffer-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return false;
    close(fd);
    sniffer.file = name;
    std::string file = sniffer.file;
    if (!start_in_namespace(sniffer.process, ns,
                            [interface, file, snap] { return record(interface, file, snap); }))
        return false;
    return wait_for_output(sniffer.process, "READY\n", 10000);
}

std::vector<WireFrame> stop_sniffer(WireSniffer& sniffer) {
    // Frames still on their way reach the socket first.
    usleep(100000);
    send_keys(sniffer.process, "x");
    finish_processes({&sniffer.process}, 10000);
    std::vector<WireFrame> frames;
    FILE* in = fopen(sniffer.file.c_str(), "rb");
    if (in == nullptr) return frames;
    for (;;) {
        WireFrame frame;
        int32_t kept = 0;
        if (fread(&frame.at_us, sizeof frame.at_us, 1, in) != 1) break;
        if (fread(&kept, sizeof kept, 1, in) != 1 || kept < 0) break;
        frame.bytes.resize(static_cast<size_t>(kept));
        if (fread(frame.bytes.data(), 1, frame.bytes.size(), in) != frame.bytes.size()) break;
        frames.push_back(std::move(frame));
    }
    fclose(in);
    unlink(sniffer.file.c_str());
    return frames;
}

std::vector<uint8_t> udp_payload(const WireFrame& frame, uint16_t port) {
    const std::vector<uint8_t>& b = frame.bytes;
    if (b.size() < 14 + 20 + 8 || b[12] != 0x08 || b[13] != 0x00) return {};
    size_t ip = 14;
    size_t ip_length = (b[ip] & 0x0f) * 4u;
    if (b[ip + 9] != IPPROTO_UDP || b.size() < ip + ip_length + 8) return {};
    size_t udp = ip + ip_length;
    uint16_t source = static_cast<uint16_t>(b[udp] << 8 | b[udp + 1]);
    uint16_t destination = static_cast<uint16_t>(b[udp + 2] << 8 | b[udp + 3]);
    uint16_t length = static_cast<uint16_t>(b[udp + 4] << 8 | b[udp + 5]);
    if (source != port || destination != port || length < 8) return {};
    // A recording keeps only the start of long frames.
    size_t end = udp + length < b.size() ? udp + length : b.size();
    return std::vector<uint8_t>(b.begin() + static_cast<long>(udp + 8),
                                b.begin() + static_cast<long>(end));
}

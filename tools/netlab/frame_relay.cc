#include "frame_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net_namespace.h"

namespace {

constexpr int FRAME_BUFFER = 65536;

int64_t monotonic_us() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// splitmix64: small, fast and the same everywhere.
uint64_t next_random(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// A draw in [0, 100).
double percent_draw(uint64_t& state) {
    return static_cast<double>(next_random(state) >> 11) * (100.0 / 9007199254740992.0);
}

bool later(const PendingFrame& a, const PendingFrame& b) {
    if (a.release_us != b.release_us) return a.release_us > b.release_us;
    return a.order > b.order;
}

void schedule(FrameRelay& relay, int from_port, const uint8_t* frame, int length,
              int64_t release_us) {
    PendingFrame pending;
    pending.release_us = release_us;
    pending.order = relay.arrivals++;
    pending.from_port = from_port;
    pending.bytes.assign(frame, frame + length);
    relay.pending.push_back(std::move(pending));
    std::push_heap(relay.pending.begin(), relay.pending.end(), later);
}

bool holds(const FrameChoice& choice, const uint8_t* frame, int length) {
    size_t size = static_cast<size_t>(length);
    return choice.offset <= size && choice.match.size() <= size - choice.offset &&
           std::equal(choice.match.begin(), choice.match.end(), frame + choice.offset);
}

bool chosen_for_drop(FrameRelay& relay, int port, uint64_t number_on_port, uint64_t number_overall,
                     const uint8_t* frame, int length) {
    bool chosen = false;
    for (FrameChoice& choice : relay.faults.drop_frames) {
        if (choice.port != -1 && choice.port != port) continue;
        if (!choice.match.empty()) {
            // Every choice counts its own matches, chosen or not.
            if (holds(choice, frame, length) && ++choice.matched == choice.number) chosen = true;
        } else if (choice.number == (choice.port == -1 ? number_overall : number_on_port)) {
            chosen = true;
        }
    }
    return chosen;
}

// One frame came in on port: drop it, or schedule it (and maybe a copy).
void take_frame(FrameRelay& relay, int port, const uint8_t* frame, int length) {
    FaultPlan& faults = relay.faults;
    relay.counters.received++;
    uint64_t on_port = ++relay.ports[static_cast<size_t>(port)].frames_in;
    double drop = percent_draw(relay.random_state);
    double duplicate = percent_draw(relay.random_state);
    double reorder = percent_draw(relay.random_state);
    double jitter = percent_draw(relay.random_state);
    if (chosen_for_drop(relay, port, on_port, relay.counters.received, frame, length) ||
        drop < faults.drop_percent) {
        relay.counters.dropped++;
        return;
    }
    int64_t release = monotonic_us() + faults.delay_us +
                      static_cast<int64_t>(static_cast<double>(faults.jitter_us) * jitter / 100.0);
    if (reorder < faults.reorder_percent) {
        relay.counters.reordered++;
        release += faults.reorder_delay_us;
    }
    schedule(relay, port, frame, length, release);
    if (duplicate < faults.duplicate_percent) {
        relay.counters.duplicated++;
        schedule(relay, port, frame, length, release);
    }
}

void send_out(FrameRelay& relay, const PendingFrame& frame) {
    for (size_t i = 0; i < relay.ports.size(); ++i) {
        if (static_cast<int>(i) == frame.from_port) continue;
        RelayPort& port = relay.ports[i];
        ssize_t n;
        if (port.tap) {
            n = write(port.fd, frame.bytes.data(), frame.bytes.size());
        } else {
            n = sendto(port.fd, frame.bytes.data(), frame.bytes.size(), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&port.remote), port.remote_length);
        }
        // A card whose emulator is not running (yet) simply misses frames,
        // as on a real cable.
        (void)n;
    }
    relay.counters.forwarded++;
    write_pcap_frame(relay.pcap, frame.bytes.data(), static_cast<int>(frame.bytes.size()));
}

bool fail(std::string& error, const std::string& what) {
    error = what + ": " + strerror(errno);
    return false;
}

bool add_datagram_port(FrameRelay& relay, int fd, const sockaddr* remote, socklen_t length,
                       const std::string& name) {
    RelayPort port;
    port.fd = fd;
    port.tap = false;
    memcpy(&port.remote, remote, length);
    port.remote_length = length;
    port.name = name;
    relay.ports.push_back(port);
    return true;
}

}  // namespace

void init_relay(FrameRelay& relay, const FaultPlan& faults) {
    relay.faults = faults;
    relay.random_state = faults.seed;
    relay.counters = RelayCounters();
    relay.arrivals = 0;
    for (FrameChoice& choice : relay.faults.drop_frames) choice.matched = 0;
}

bool add_unix_port(FrameRelay& relay, const std::string& local_path, const std::string& remote_path,
                   std::string& error) {
    sockaddr_un local = {}, remote = {};
    if (local_path.size() >= sizeof local.sun_path ||
        remote_path.size() >= sizeof remote.sun_path) {
        error = "socket path too long: " + local_path;
        return false;
    }
    local.sun_family = remote.sun_family = AF_UNIX;
    memcpy(local.sun_path, local_path.c_str(), local_path.size() + 1);
    memcpy(remote.sun_path, remote_path.c_str(), remote_path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(error, "socket");
    unlink(local_path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return fail(error, "bind " + local_path);
    }
    return add_datagram_port(relay, fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote,
                             local_path);
}

bool add_udp_port(FrameRelay& relay, int local_port, int remote_port, std::string& error) {
    sockaddr_in local = {}, remote = {};
    local.sin_family = remote.sin_family = AF_INET;
    local.sin_addr.s_addr = remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(static_cast<uint16_t>(local_port));
    remote.sin_port = htons(static_cast<uint16_t>(remote_port));
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(error, "socket");
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return fail(error, "bind 127.0.0.1:" + std::to_string(local_port));
    }
    return add_datagram_port(relay, fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote,
                             "udp:" + std::to_string(local_port));
}

bool add_tap_port(FrameRelay& relay, const std::string& name, const std::string& netns_path,
                  std::string& error) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        error = "bad tap name: " + name;
        return false;
    }
    int target = open(netns_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0) return fail(error, "open " + netns_path);
    if (namespace_inode(target) == own_namespace_inode()) {
        close(target);
        error = "refusing to make tap " + name + " in the relay's own network namespace";
        return false;
    }
    int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0 || setns(target, CLONE_NEWNET) != 0) {
        if (home >= 0) close(home);
        close(target);
        return fail(error, "enter " + netns_path);
    }
    close(target);
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    bool made = false;
    if (fd >= 0) {
        ifreq request = {};
        request.ifr_flags = IFF_TAP | IFF_NO_PI;
        memcpy(request.ifr_name, name.c_str(), name.size());
        made = ioctl(fd, TUNSETIFF, &request) == 0;
    }
    int saved_errno = errno;
    bool back = setns(home, CLONE_NEWNET) == 0;
    close(home);
    errno = saved_errno;
    if (!made) {
        if (fd >= 0) close(fd);
        return fail(error, "tap " + name);
    }
    if (!back) {
        close(fd);
        error = "cannot return to the relay's own namespace";
        return false;
    }
    RelayPort port;
    port.fd = fd;
    port.tap = true;
    port.name = "tap:" + name;
    relay.ports.push_back(port);
    return true;
}

void run_relay(FrameRelay& relay, int stop_fd, volatile int* stop) {
    std::vector<uint8_t> buffer(FRAME_BUFFER);
    std::vector<pollfd> watched;
    for (const RelayPort& port : relay.ports) watched.push_back({port.fd, POLLIN, 0});
    if (stop_fd >= 0) watched.push_back({stop_fd, POLLIN, 0});
    while (stop == nullptr || !*stop) {
        int timeout_ms = -1;
        if (!relay.pending.empty()) {
            int64_t wait = relay.pending.front().release_us - monotonic_us();
            timeout_ms = wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
        }
        if (stop != nullptr && (timeout_ms < 0 || timeout_ms > 100)) timeout_ms = 100;
        int ready = poll(watched.data(), watched.size(), timeout_ms);
        if (ready < 0 && errno != EINTR) break;
        if (stop_fd >= 0 && (watched.back().revents & (POLLIN | POLLHUP))) break;
        for (size_t i = 0; ready > 0 && i < relay.ports.size(); ++i) {
            if (!(watched[i].revents & POLLIN)) continue;
            ssize_t n = relay.ports[i].tap
                            ? read(relay.ports[i].fd, buffer.data(), buffer.size())
                            : recv(relay.ports[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n > 0) take_frame(relay, static_cast<int>(i), buffer.data(), static_cast<int>(n));
        }
        int64_t now = monotonic_us();
        while (!relay.pending.empty() && relay.pending.front().release_us <= now) {
            std::pop_heap(relay.pending.begin(), relay.pending.end(), later);
            PendingFrame frame = std::move(relay.pending.back());
            relay.pending.pop_back();
            send_out(relay, frame);
        }
    }
    if (relay.pcap.file != nullptr) fflush(relay.pcap.file);
}

void close_relay(FrameRelay& relay) {
    for (RelayPort& port : relay.ports) {
        if (port.fd >= 0) close(port.fd);
        port.fd = -1;
    }
    relay.ports.clear();
    relay.pending.clear();
    close_pcap(relay.pcap);
}

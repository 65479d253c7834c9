#include "fleet_run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "fleet_report.h"
#include "netinstall/link_state.h"
#include "netinstall/protocol_messages.h"
#include "netinstall/router_installation.h"
#include "netinstall/router_script.h"
#include "netinstall/screen_text.h"

namespace {

// Set by SIGINT and SIGTERM; the handler also writes into the wake-up pipe.
volatile sig_atomic_t stop_requested = 0;
int wake_fd = -1;

void request_stop(int) {
    stop_requested = 1;
    if (wake_fd >= 0) {
        ssize_t n = write(wake_fd, "x", 1);
        (void)n;
    }
}

// A segment full of announcing machines (or of forged announcements) can
// neither start processes without end nor fill the memory and the screen:
// at most this many conversations run at once (a router heard meanwhile is
// taken at an announcement once one has ended), and at most this many
// routers that the table does not list are noted in a run.
constexpr int MAX_CONVERSATIONS = 32;
constexpr int MAX_UNLISTED = 100;

// How long the display waits before it shows new bytes on a terminal.
constexpr int64_t REDRAW_US = 250000;

// The lines of the conversation's output that move it on.
constexpr char OFFER_LINE[] = "Sending offer...";
constexpr char PREPARING_LINE[] = "Formating and partitioning harddisk...";
constexpr char TRANSFER_PREFIX[] = "Transfering: ";
constexpr char CONFIGURATION_LINE[] = "Transfering: configuration...";

bool begins_with(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

FleetRouter* router_with(std::vector<FleetRouter>& routers, const uint8_t* mac) {
    for (FleetRouter& router : routers)
        if (same_mac(router.mac, mac)) return &router;
    return nullptr;
}

bool running(const FleetRouter& router) {
    return router.pid > 0;
}

// One line the conversation printed.
void take_line(FleetRouter& router, const std::string& line) {
    if (line == OFFER_LINE) {
        router.state = FleetState::offered;
    } else if (line == PREPARING_LINE) {
        router.state = FleetState::preparing;
    } else if (line == CONFIGURATION_LINE) {
        router.packages_sent = router.package;
        router.state = FleetState::configuring;
    } else if (begins_with(line, TRANSFER_PREFIX)) {
        router.packages_sent = router.package;
        router.package++;
        std::string name = line.substr(strlen(TRANSFER_PREFIX));
        if (name.size() >= 3 && name.compare(name.size() - 3, 3, "...") == 0)
            name.resize(name.size() - 3);
        router.package_name = name;
        router.state = FleetState::sending;
    } else if (begins_with(line, "FATAL ERROR: ") || begins_with(line, "No response") ||
               begins_with(line, "Bad response")) {
        std::string why = line;
        size_t key = why.find(" (press any key)");
        if (key != std::string::npos) why.resize(key);
        router.failure = why;
    }
}

// The conversation has ended: its result.
void finish_conversation(FleetRouter& router, uint64_t total_bytes, int package_count,
                         bool interrupted) {
    int status = 0;
    while (waitpid(router.pid, &status, 0) < 0 && errno == EINTR) {
    }
    router.pid = -1;
    close(router.output_fd);
    close(router.inbox_fd);
    router.output_fd = router.inbox_fd = -1;
    router.ended_us = now_us();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        router.state = FleetState::done;
        router.packages_sent = package_count;
        router.bytes = total_bytes;
        return;
    }
    if (router.failure.empty()) {
        if (interrupted) {
            router.failure = "interrupted";
        } else if (router.state == FleetState::preparing) {
            router.failure = "no start from the router";
        } else if (WIFSIGNALED(status)) {
            router.failure = "the conversation ended by signal " + std::to_string(WTERMSIG(status));
        } else {
            router.failure = "the conversation ended";
        }
    }
    router.state = FleetState::failed;
}

// The child's side: the installer's server conversation with this router,
// its datagrams from the inbox, its lines into the pipe.
[[noreturn]] void converse(const FleetRouter& router, int inbox, int output,
                           const FleetOptions& options) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    int nothing = open("/dev/null", O_RDONLY);
    if (nothing < 0 || dup2(nothing, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) _exit(1);
    // Nothing of the other conversations stays open here.
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != inbox && fd != router.endpoint->socket_fd) close(fd);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    NetEndpoint endpoint = *router.endpoint;
    endpoint.inbox_fd = inbox;
    RouterEntry entry;
    entry.endpoint = &endpoint;
    memcpy(entry.mac, router.mac, MAC_LENGTH);
    RouterInstaller installer;
    init_link(installer.link);
    installer.selected = &entry;
    bool keep = false;
    std::string script = fleet_script(options, router, keep);
    bool installed = send_installation(installer, options.paths, keep, script.c_str());
    fflush(stdout);
    _exit(installed ? 0 : 1);
}

// Starts the conversation with a router just heard; false (and the router
// failed) when the system refuses the pipe, the inbox or the process.
bool start_conversation(FleetRouter& router, const FleetOptions& options) {
    int inbox[2], output[2];
    router.started_us = now_us();
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, inbox) != 0) {
        router.failure = "no inbox for its conversation";
        router.state = FleetState::failed;
        return false;
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(inbox[0]);
        close(inbox[1]);
        router.failure = "no pipe for its conversation";
        router.state = FleetState::failed;
        return false;
    }
    // A slow conversation must not hold the demultiplexer: what does not fit
    // into its inbox is lost, as on the wire, and sent again.
    fcntl(inbox[0], F_SETFL, O_NONBLOCK);
    int room = 1 << 20;
    setsockopt(inbox[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(inbox[0]);
        close(output[0]);
        converse(router, inbox[1], output[1], options);
    }
    close(inbox[1]);
    close(output[1]);
    if (pid < 0) {
        close(inbox[0]);
        close(output[0]);
        router.failure = "no process for its conversation";
        router.state = FleetState::failed;
        return false;
    }
    router.pid = pid;
    router.inbox_fd = inbox[0];
    router.output_fd = output[0];
    router.state = FleetState::offered;
    return true;
}

// The run's state between two waits.
struct FleetLoop {
    InterfaceList* interfaces;
    const FleetOptions* options;
    std::vector<FleetRouter> routers;
    bool taking = true;     // new routers are still taken
    int conversations = 0;  // running now
    int unlisted = 0;       // routers noted that the table does not list
    FleetDisplay* display = nullptr;
    uint64_t total_bytes = 0;
    int package_count = 0;
};

// Reads what the conversation printed; false at its end. Without a
// terminal every line that moves a router on is shown as it is taken, so
// that no state goes unsaid when several lines come at once.
bool take_output(FleetLoop& loop, FleetRouter& router) {
    char buffer[4096];
    ssize_t n = read(router.output_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    router.pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = router.pending.find('\n')) != std::string::npos) {
        take_line(router, router.pending.substr(0, end));
        router.pending.erase(0, end + 1);
        if (!loop.display->terminal) show_fleet(*loop.display, loop.routers);
    }
    // A conversation that prints without end is cut short, not stored.
    if (router.pending.size() > 4096) router.pending.clear();
    return true;
}

// One datagram from endpoint.
void take_datagram(FleetLoop& loop, NetEndpoint& endpoint, const uint8_t* datagram, int length) {
    if (length < HEADER_SIZE) return;
    DatagramHeader header = read_header(datagram);
    if (same_mac(header.src_mac, endpoint.mac)) {
        // One of our own conversations' datagrams, back: a data block counts
        // once towards the bytes its router was sent.
        FleetRouter* router = router_with(loop.routers, header.dst_mac);
        if (router != nullptr && running(*router) && header.kind == KIND_DATA &&
            header.seq > router->last_block_seq && length == HEADER_SIZE + header.payload_length) {
            router->last_block_seq = header.seq;
            router->bytes += header.payload_length;
        }
        return;
    }
    FleetRouter* router = router_with(loop.routers, header.src_mac);
    if (router != nullptr && running(*router)) {
        if (router->endpoint == &endpoint)
            send(router->inbox_fd, datagram, static_cast<size_t>(length),
                 MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    }
    // Heard before, and over with (or left alone): installed once a run.
    if (router != nullptr && router->state != FleetState::missing) return;
    LinkState link;
    init_link(link);
    memcpy(link.own_mac, endpoint.mac, MAC_LENGTH);
    char label[LABEL_SIZE];
    if (!accept_datagram(link, datagram, length) || !read_discovery(datagram, length, label))
        return;
    bool room = loop.conversations < MAX_CONVERSATIONS;
    if (router == nullptr) {
        FleetRouter heard;
        memcpy(heard.mac, header.src_mac, MAC_LENGTH);
        heard.entry = fleet_entry_for(loop.options->table, heard.mac);
        // After the listening time only the routers left alone are noted.
        if (heard.entry != nullptr && (!loop.taking || !room)) return;
        if (loop.unlisted >= MAX_UNLISTED) {
            loop.display->crowded = true;
            return;
        }
        loop.unlisted++;
        heard.state = heard.entry == nullptr ? FleetState::left_alone : FleetState::missing;
        loop.routers.push_back(heard);
        router = &loop.routers.back();
        router->endpoint = &endpoint;
        char shown[LABEL_SIZE];
        screen_text(label, shown, sizeof shown);
        router->label = shown;
        if (router->entry == nullptr) return;
    }
    if (!loop.taking || !room) return;
    if (router->label.empty()) {
        char shown[LABEL_SIZE];
        screen_text(label, shown, sizeof shown);
        router->label = shown;
    }
    router->endpoint = &endpoint;
    if (start_conversation(*router, *loop.options)) loop.conversations++;
}

bool any_running(const FleetLoop& loop) {
    for (const FleetRouter& router : loop.routers)
        if (running(router)) return true;
    return false;
}

// Every listed router is done or failed (false for a table of "*" only).
bool listed_finished(const FleetLoop& loop) {
    bool any = false;
    for (const FleetRouter& router : loop.routers) {
        if (!router.listed) continue;
        any = true;
        if (router.state != FleetState::done && router.state != FleetState::failed) return false;
    }
    return any;
}

}  // namespace

std::string fleet_script(const FleetOptions& options, const FleetRouter& router, bool& keep) {
    keep = false;
    const FleetConfig& config = router.entry->config;
    switch (config.kind) {
        case FleetConfig::keep:
            keep = true;
            return "";
        case FleetConfig::script: {
            auto found = options.scripts.find(config.script_path);
            return found == options.scripts.end() ? "" : found->second;
        }
        case FleetConfig::address:
            break;
    }
    return build_router_script(router.mac, config.router_address, config.prefix_bits,
                               config.gateway, config.baud);
}

std::vector<FleetRouter> run_fleet(InterfaceList& interfaces, const FleetOptions& options,
                                   FleetDisplay& display) {
    FleetLoop loop;
    loop.interfaces = &interfaces;
    loop.options = &options;
    loop.package_count = static_cast<int>(options.paths.size());
    loop.display = &display;
    for (const FleetEntry& entry : options.table.routers) {
        FleetRouter router;
        memcpy(router.mac, entry.mac, MAC_LENGTH);
        router.entry = &entry;
        router.listed = true;
        loop.routers.push_back(router);
    }
    // Sizes for the routers that get everything; the script's bytes are
    // counted per router at its end.
    for (const std::string& path : options.paths) {
        FILE* f = fopen(path.c_str(), "rb");
        if (f == nullptr) continue;
        fseek(f, 0, SEEK_END);
        long size = ftell(f);
        fclose(f);
        if (size > 0) loop.total_bytes += static_cast<uint64_t>(size);
    }
    // The interfaces carry every conversation's traffic: room for bursts.
    for (unsigned i = 0; i < interfaces.count; ++i) {
        int room = 4 << 20;
        setsockopt(interfaces.endpoints[i]->socket_fd, SOL_SOCKET, SO_RCVBUFFORCE, &room,
                   sizeof room);
    }

    int wake[2];
    bool have_wake = pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0;
    wake_fd = have_wake ? wake[1] : -1;
    struct sigaction stop = {};
    stop.sa_handler = request_stop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int64_t deadline = options.seconds < 0 ? -1 : now_us() + int64_t{options.seconds} * 1000000;
    int64_t last_drawn = 0;
    show_fleet(display, loop.routers);
    for (;;) {
        int64_t now = now_us();
        if (deadline >= 0 && now >= deadline) loop.taking = false;
        if (stop_requested) break;
        if (!any_running(loop)) {
            if (!loop.taking) break;
            if (!options.serve && listed_finished(loop)) break;
        }

        fd_set ready;
        FD_ZERO(&ready);
        int highest = 0;
        auto watch = [&](int fd) {
            if (fd < 0 || fd >= FD_SETSIZE) return;
            FD_SET(fd, &ready);
            if (fd > highest) highest = fd;
        };
        for (unsigned i = 0; i < interfaces.count; ++i) watch(interfaces.endpoints[i]->socket_fd);
        for (const FleetRouter& router : loop.routers)
            if (running(router)) watch(router.output_fd);
        if (have_wake) watch(wake[0]);
        int64_t wait_us = REDRAW_US;
        if (deadline >= 0 && loop.taking && deadline - now < wait_us) wait_us = deadline - now;
        timeval limit = {static_cast<time_t>(wait_us / 1000000),
                         static_cast<suseconds_t>(wait_us % 1000000)};
        int result = select(highest + 1, &ready, nullptr, nullptr, &limit);
        if (result < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (result > 0) {
            for (unsigned i = 0; i < interfaces.count; ++i) {
                NetEndpoint& endpoint = *interfaces.endpoints[i];
                if (endpoint.socket_fd < 0 || endpoint.socket_fd >= FD_SETSIZE ||
                    !FD_ISSET(endpoint.socket_fd, &ready))
                    continue;
                // A bounded drain: the conversations' pipes get their turn.
                uint8_t datagram[RECEIVE_BUFFER_SIZE];
                for (int n = 0; n < 256; ++n) {
                    int length = poll_datagram(endpoint, datagram);
                    if (length == NOTHING_QUEUED) break;
                    if (length > 0) take_datagram(loop, endpoint, datagram, length);
                }
            }
            for (FleetRouter& router : loop.routers) {
                if (!running(router) || !FD_ISSET(router.output_fd, &ready)) continue;
                if (!take_output(loop, router)) {
                    uint64_t bytes = loop.total_bytes;
                    bool keep = false;
                    bytes += fleet_script(options, router, keep).size();
                    finish_conversation(router, bytes, loop.package_count, false);
                    loop.conversations--;
                }
            }
            if (have_wake && FD_ISSET(wake[0], &ready)) {
                char drained[16];
                while (read(wake[0], drained, sizeof drained) > 0) {
                }
            }
        }
        now = now_us();
        if (!display.terminal || now - last_drawn >= REDRAW_US) {
            show_fleet(display, loop.routers);
            last_drawn = now;
        }
    }

    // Interrupted: the conversations still running end now.
    for (FleetRouter& router : loop.routers)
        if (running(router)) kill(router.pid, SIGTERM);
    for (FleetRouter& router : loop.routers)
        if (running(router))
            finish_conversation(router, loop.total_bytes, loop.package_count, true);
    show_fleet(display, loop.routers);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    wake_fd = -1;
    if (have_wake) {
        close(wake[0]);
        close(wake[1]);
    }
    return loop.routers;
}

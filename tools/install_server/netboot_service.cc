#include "netboot_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char LINE_PREFIX[] = "netboot: ";
// dnsmasq's last line of its start: from then on it answers.
const char READY_LINE[] = "TFTP root is ";
constexpr int START_TIMEOUT_MS = 10000;
constexpr int STOP_TIMEOUT_MS = 5000;

bool is_executable(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string find_program(const char* name) {
    const char* path = getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string folder = folders.substr(start, end - start);
        if (!folder.empty() && is_executable(folder + "/" + name)) return folder + "/" + name;
        start = end + 1;
    }
    return "";
}

// The interface's IPv4 network ("a.b.c.d" of address and mask), or empty.
std::string interface_network(const std::string& interface) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return "";
    ifreq request = {};
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interface.c_str());
    std::string network;
    if (ioctl(s, SIOCGIFADDR, &request) == 0) {
        in_addr address = reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr;
        if (ioctl(s, SIOCGIFNETMASK, &request) == 0) {
            in_addr mask = reinterpret_cast<sockaddr_in*>(&request.ifr_netmask)->sin_addr;
            in_addr net = {address.s_addr & mask.s_addr};
            char text[INET_ADDRSTRLEN];
            char mask_text[INET_ADDRSTRLEN];
            if (inet_ntop(AF_INET, &net, text, sizeof text) != nullptr &&
                inet_ntop(AF_INET, &mask, mask_text, sizeof mask_text) != nullptr)
                network = std::string(text) + "," + "proxy," + mask_text;
        }
    }
    close(s);
    return network;
}

// Runs ip with args, its output discarded; true when it succeeded.
bool run_ip(const std::vector<std::string>& args) {
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        std::vector<char*> argv = {const_cast<char*>("ip")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp("ip", argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string server_address_text() {
    return std::string(NETBOOT_SERVER_ADDRESS) + "/" + std::to_string(NETBOOT_PREFIX_BITS);
}

long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

void write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Relays the complete lines in pending.
void relay_lines(NetbootService& service) {
    size_t end;
    while ((end = service.pending.find('\n')) != std::string::npos) {
        std::string line = service.pending.substr(0, end + 1);
        service.pending.erase(0, end + 1);
        if (line.find(READY_LINE) != std::string::npos) service.ready = true;
        // dnsmasq pads a few lines with blanks.
        while (line.size() > 1 && line[line.size() - 2] == ' ') line.erase(line.size() - 2, 1);
        write_all(1, LINE_PREFIX + line);
    }
}

}  // namespace

NetbootCheck check_netboot(const NetbootSettings& settings, NetbootPlan& plan, std::string& error) {
    plan = NetbootPlan();
    plan.dnsmasq = find_program("dnsmasq");
    if (plan.dnsmasq.empty()) {
        error = "no dnsmasq program (it comes with Debian's dnsmasq-base package)";
        return NetbootCheck::NO_DNSMASQ;
    }
    if (settings.interface.size() >= IFNAMSIZ || if_nametoindex(settings.interface.c_str()) == 0) {
        error = "there is no interface " + settings.interface;
        return NetbootCheck::NO_INTERFACE;
    }
    struct stat loader;
    std::string loader_path = settings.tree + "/pxelinux.0";
    if (stat(loader_path.c_str(), &loader) != 0 || !S_ISREG(loader.st_mode)) {
        error = settings.tree +
                " has no pxelinux.0: not a network boot image (brindlex-make-netboot " +
                "makes one)";
        return NetbootCheck::NO_LOADER;
    }
    if (settings.proxy) {
        plan.proxy_subnet = interface_network(settings.interface);
        if (plan.proxy_subnet.empty()) {
            error = "--proxy-dhcp needs the address the segment's DHCP server gave " +
                    settings.interface + ", and it has none";
            return NetbootCheck::NO_SUBNET;
        }
    }
    return NetbootCheck::READY;
}

std::vector<std::string> dnsmasq_arguments(const NetbootSettings& settings,
                                           const NetbootPlan& plan) {
    std::vector<std::string> args = {
        plan.dnsmasq,
        // In the foreground, its log on its error output; no configuration
        // file, no DNS, no lease file, no process id file.
        "--keep-in-foreground", "--log-facility=-", "--conf-file=/dev/null", "--port=0",
        "--leasefile-ro", "--pid-file=",
        // Only the named interface, with sockets bound to it alone.
        "--interface=" + settings.interface, "--bind-interfaces",
        // Debian makes its user; the tree must be readable by everybody.
        "--user=nobody", "--group=nogroup", "--enable-tftp", "--tftp-root=" + settings.tree};
    if (settings.proxy) {
        args.push_back("--dhcp-range=" + plan.proxy_subnet);
        args.push_back("--pxe-service=x86PC,Brindlex network installation,pxelinux");
    } else {
        args.push_back(std::string("--dhcp-range=") + NETBOOT_FIRST_LEASE + "," +
                       NETBOOT_LAST_LEASE + "," + NETBOOT_NETMASK + ",10m");
        args.push_back("--dhcp-boot=pxelinux.0");
    }
    return args;
}

bool start_netboot(NetbootService& service, const NetbootSettings& settings,
                   const NetbootPlan& plan, std::string& error) {
    service = NetbootService();
    service.interface = settings.interface;
    if (!settings.proxy) {
        if (!run_ip({"link", "set", settings.interface, "up"}) ||
            !run_ip({"address", "add", server_address_text(), "dev", settings.interface})) {
            error = "cannot give " + settings.interface + " the address " + server_address_text() +
                    " (root needed; or it has it already)";
            return false;
        }
        service.address_added = true;
    }
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + strerror(errno);
        stop_netboot(service);
        return false;
    }
    std::vector<std::string> args = dnsmasq_arguments(settings, plan);
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        error = std::string("cannot start dnsmasq: ") + strerror(errno);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        stop_netboot(service);
        return false;
    }
    if (child == 0) {
        // A group of its own, so that a Ctrl-C reaches the server, which
        // stops it in order; and it ends when the server does, however.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        fprintf(stderr, "cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    close(pipe_fds[1]);
    service.dnsmasq = child;
    service.output_fd = pipe_fds[0];
    long deadline = now_ms() + START_TIMEOUT_MS;
    while (!service.ready) {
        long left = deadline - now_ms();
        if (left <= 0 || !relay_netboot_output(service, static_cast<int>(left))) {
            error = left <= 0 ? "dnsmasq did not start within 10 s" : "dnsmasq could not start";
            stop_netboot(service);
            return false;
        }
    }
    return true;
}

bool relay_netboot_output(NetbootService& service, int timeout_ms) {
    if (service.output_fd < 0) return false;
    pollfd watched = {service.output_fd, POLLIN, 0};
    int ready = poll(&watched, 1, timeout_ms);
    if (ready <= 0) return true;  // nothing yet (or a signal)
    char buffer[4096];
    ssize_t n = read(service.output_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) {
        if (!service.pending.empty()) service.pending += '\n';
        relay_lines(service);
        close(service.output_fd);
        service.output_fd = -1;
        return false;
    }
    service.pending.append(buffer, static_cast<size_t>(n));
    relay_lines(service);
    return true;
}

void stop_netboot(NetbootService& service) {
    if (service.dnsmasq > 0) {
        kill(service.dnsmasq, SIGTERM);
        long deadline = now_ms() + STOP_TIMEOUT_MS;
        int status = 0;
        for (;;) {
            pid_t ended = waitpid(service.dnsmasq, &status, WNOHANG);
            if (ended == service.dnsmasq || (ended < 0 && errno != EINTR)) break;
            if (now_ms() > deadline) {
                kill(service.dnsmasq, SIGKILL);
                waitpid(service.dnsmasq, &status, 0);
                break;
            }
            relay_netboot_output(service, 50);
        }
        service.dnsmasq = -1;
    }
    // dnsmasq has ended: its output ends too, at once.
    for (int tries = 0; tries < 100 && relay_netboot_output(service, 10); ++tries) {
    }
    if (service.output_fd >= 0) {
        close(service.output_fd);
        service.output_fd = -1;
    }
    if (service.address_added) {
        run_ip({"address", "del", server_address_text(), "dev", service.interface});
        service.address_added = false;
    }
}

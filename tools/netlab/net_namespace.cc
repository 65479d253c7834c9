#include "net_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char* ip_program() {
    static const char* const candidates[] = {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"};
    for (const char* path : candidates) {
        if (access(path, X_OK) == 0) return path;
    }
    return nullptr;
}

void write_sysctl(const char* path, const char* value) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t n = write(fd, value, strlen(value));
    (void)n;
    close(fd);
}

}  // namespace

bool create_namespace(NetNamespace& ns) {
    ns.fd = -1;
    int ready[2], done[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return false;
    if (pipe2(done, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        return false;
    }
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        close(done[1]);
        char status = 'n';
        if (unshare(CLONE_NEWNET) == 0) {
            write_sysctl("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1");
            write_sysctl("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1");
            status = 'y';
        }
        ssize_t n = write(ready[1], &status, 1);
        (void)n;
        char c;
        n = read(done[0], &c, 1);
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char status = 'n';
    if (child > 0 && read(ready[0], &status, 1) == 1 && status == 'y') {
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/ns/net", static_cast<int>(child));
        ns.fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    close(ready[0]);
    close(done[1]);
    if (child > 0) waitpid(child, nullptr, 0);
    if (ns.fd < 0) {
        fprintf(stderr,
                "netlab: cannot make a private network namespace (%s); these tests "
                "need root\n",
                status == 'y' ? strerror(errno) : "unshare refused");
        return false;
    }
    if (namespace_inode(ns.fd) == own_namespace_inode()) {
        fprintf(stderr, "netlab: the new namespace is this process's own\n");
        close_namespace(ns);
        return false;
    }
    return true;
}

void close_namespace(NetNamespace& ns) {
    if (ns.fd >= 0) close(ns.fd);
    ns.fd = -1;
}

bool enter_namespace(const NetNamespace& ns) {
    return ns.fd >= 0 && setns(ns.fd, CLONE_NEWNET) == 0;
}

bool run_ip(const NetNamespace& ns, const std::vector<std::string>& args, int keep_fd) {
    const char* ip = ip_program();
    if (ip == nullptr) {
        fprintf(stderr, "netlab: the ip program (iproute2) is missing\n");
        return false;
    }
    pid_t child = fork();
    if (child == 0) {
        if (!enter_namespace(ns)) _exit(126);
        if (keep_fd >= 0) fcntl(keep_fd, F_SETFD, 0);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("ip"));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(ip, argv.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return false;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    std::string line;
    for (const std::string& a : args) line += " " + a;
    fprintf(stderr, "netlab: ip%s failed\n", line.c_str());
    return false;
}

bool add_veth(const NetNamespace& a, const std::string& name_a, const std::string& mac_a,
              const NetNamespace& b, const std::string& name_b, const std::string& mac_b) {
    std::vector<std::string> args = {"link", "add", name_a};
    if (!mac_a.empty()) args.insert(args.end(), {"address", mac_a});
    args.insert(args.end(), {"type", "veth", "peer", "name", name_b});
    if (!mac_b.empty()) args.insert(args.end(), {"address", mac_b});
    args.insert(args.end(), {"netns", "/proc/self/fd/" + std::to_string(b.fd)});
    return run_ip(a, args, b.fd);
}

bool add_segment(const NetNamespace& hub, const std::string& bridge) {
    return run_ip(hub, {"link", "add", bridge, "type", "bridge"}) &&
           run_ip(hub, {"link", "set", bridge, "up"});
}

bool join_segment(const NetNamespace& hub, const std::string& bridge, const NetNamespace& ns,
                  const std::string& name, const std::string& mac) {
    static int ports = 0;
    std::string port = bridge + "p" + std::to_string(++ports);
    return add_veth(hub, port, "", ns, name, mac) &&
           run_ip(hub, {"link", "set", port, "master", bridge}) &&
           run_ip(hub, {"link", "set", port, "up"});
}

unsigned long namespace_inode(int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0) return 0;
    return static_cast<unsigned long>(status.st_ino);
}

unsigned long own_namespace_inode() {
    struct stat status;
    if (stat("/proc/self/ns/net", &status) != 0) return 0;
    return static_cast<unsigned long>(status.st_ino);
}

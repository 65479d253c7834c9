// Private network namespaces for the network tests and benchmarks. Every
// interface a test uses is made inside such a namespace; nothing here ever
// configures an interface of the namespace the test itself runs in.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A private network namespace, kept alive by an open handle.
struct NetNamespace {
    int fd = -1;  // /proc/PID/ns/net of the process that made it, opened
};

// A fresh namespace: only its loopback device (down), IPv6 off so that no
// interface sends anything of its own accord. False (with a message on
// standard error) when namespaces cannot be made here.
bool create_namespace(NetNamespace& ns);

// Drops the handle; the namespace and its interfaces go when nothing else
// holds it.
void close_namespace(NetNamespace& ns);

// Moves the calling process into ns (for a child that is about to run a
// piece of the installer there).
bool enter_namespace(const NetNamespace& ns);

// Runs the ip program with args inside ns (keep_fd, when not -1, stays
// open for it, e.g. another namespace's handle as /proc/self/fd/N); true
// when it exits with 0.
bool run_ip(const NetNamespace& ns, const std::vector<std::string>& args, int keep_fd = -1);

// A veth pair: name_a with mac_a in a, name_b with mac_b in b, both down.
bool add_veth(const NetNamespace& a, const std::string& name_a, const std::string& mac_a,
              const NetNamespace& b, const std::string& name_b, const std::string& mac_b);

// An Ethernet segment: a bridge in hub, to which join_segment plugs a veth
// pair whose other end, name with mac, appears (down) in ns.
bool add_segment(const NetNamespace& hub, const std::string& bridge);
bool join_segment(const NetNamespace& hub, const std::string& bridge, const NetNamespace& ns,
                  const std::string& name, const std::string& mac);

// The inode of a namespace handle, and of the namespace this process runs
// in: tools refuse to make interfaces in their own starting namespace.
unsigned long namespace_inode(int fd);
unsigned long own_namespace_inode();

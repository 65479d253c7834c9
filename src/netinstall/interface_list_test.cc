#include "netinstall/interface_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "netinstall/netinstall_test_support.h"

namespace {

// The flags and IPv4 address of interface name, as one line.
std::string describe(const char* name) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request = {};
    copy_interface_name(request.ifr_name, name);
    ioctl(fd, SIOCGIFFLAGS, &request);
    int flags = request.ifr_flags;
    std::string text = std::string(name) + ((flags & IFF_UP) ? " up" : " down") +
                       ((flags & IFF_PROMISC) ? " promisc" : "");
    request = {};
    copy_interface_name(request.ifr_name, name);
    if (ioctl(fd, SIOCGIFADDR, &request) == 0) {
        text += std::string(" ") +
                inet_ntoa(reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr);
    } else {
        text += " no-address";
    }
    close(fd);
    return text;
}

void write_text(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
}

// Runs body in a child inside ns and returns its output; fails the test
// when the child does not end with 0.
std::string run_in(const NetNamespace& ns, const std::function<int()>& body) {
    LabProcess child;
    EXPECT_TRUE(start_in_namespace(child, ns, body));
    EXPECT_TRUE(finish_processes({&child}, 20000));
    EXPECT_EQ(exit_code(child), 0) << child.output;
    return child.output;
}

const char HEADINGS[] =
    "Inter-|   Receive                            |  Transmit\n"
    " face |bytes    packets errs drop fifo frame|bytes    packets errs drop\n";

}  // namespace

// A machine with two cards (one addressed, one not) and its loopback: both
// cards are listed in the kernel's order with their MACs, brought up in
// promiscuous mode, and the addressed one keeps its address.
TEST(InterfaceList, ListsEveryCardWithItsMacButNeverTheLoopback) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    NetNamespace far;
    ASSERT_TRUE(create_namespace(far));
    ASSERT_TRUE(add_veth(cable.server, "srv1", mac_option(SERVER_MAC_2), far, "far0",
                         mac_option(OTHER_CLIENT_MAC)));
    ASSERT_TRUE(run_ip(cable.server, {"address", "add", "10.9.0.1/24", "dev", "srv1"}));
    ASSERT_TRUE(run_ip(cable.server, {"link", "set", "lo", "up"}));

    std::string output = run_in(cable.server, [] {
        InterfaceList list;
        NetEndpoint** endpoints = list_interfaces(list);
        printf("count %u same %d\n", list.count, endpoints == list.endpoints);
        for (unsigned i = 0;; ++i) {
            const char* text = interface_mac_text(list, i);
            if (text == nullptr) break;
            printf("mac %s fd %d\n", text, list.endpoints[i]->socket_fd > 0);
        }
        printf("%s\n%s\n", describe("srv0").c_str(), describe("srv1").c_str());
        printf("has %d\n", has_interfaces(list));
        free_interfaces(list);
        printf("after free %u %d\n", list.count, list.endpoints == nullptr);
        // The port is free again: the sockets are closed.
        InterfaceList again;
        list_interfaces(again);
        printf("again %u\n", again.count);
        free_interfaces(again);
        return 0;
    });
    EXPECT_EQ(output,
              "count 2 same 1\n"
              "mac 02:00:00:00:01:01 fd 1\n"
              "mac 02:00:00:00:01:02 fd 1\n"
              "srv0 up promisc no-address\n"
              "srv1 up promisc 10.9.0.1\n"
              "has 1\n"
              "after free 0 1\n"
              "again 2\n");
    close_namespace(far);
}

TEST(InterfaceList, OnlyTheLoopbackGivesAnEmptyList) {
    NetNamespace ns;
    ASSERT_TRUE(create_namespace(ns)) << "private network namespaces are needed (run as root)";
    std::string output = run_in(ns, [] {
        InterfaceList list;
        NetEndpoint** endpoints = list_interfaces(list);
        printf("%u %d %d %d\n", list.count, has_interfaces(list),
               interface_mac_text(list, 0) == nullptr, endpoints != nullptr);
        free_interfaces(list);
        return 0;
    });
    // The array exists (one slot for lo) but holds nothing.
    EXPECT_EQ(output, "0 0 1 1\n");
    close_namespace(ns);
}

// Device files of other shapes: too short, counters glued to the name, a
// line longer than the line buffer, a name the kernel does not know.
TEST(InterfaceList, ReadsTheDeviceFileLineByLine) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    ASSERT_TRUE(add_veth(cable.server, "srv1", mac_option(SERVER_MAC_2), cable.server, "peer1",
                         "02:00:00:00:09:09"));
    char dir_template[] = "/tmp/netdev-XXXXXX";
    std::string dir = mkdtemp(dir_template);
    write_text(dir + "/empty", "");
    write_text(dir + "/one-line", "Inter-|   Receive\n");
    write_text(dir + "/headings", HEADINGS);
    write_text(dir + "/glued", std::string(HEADINGS) + "    lo:  100 2 0 0\n" +
                                   "  srv0:1234 5 0 0 0\n" + "  srv1: " + std::string(400, '7') +
                                   " 0\n");
    write_text(dir + "/unknown", std::string(HEADINGS) + "  srv0: 1 2\n  gone0: 1 2\n  srv1: 1\n");

    std::string output = run_in(cable.server, [dir] {
        for (const char* name : {"missing", "empty", "one-line", "headings", "glued", "unknown"}) {
            InterfaceList list;
            list.count = 77;
            NetEndpoint** endpoints = list_interfaces_in(list, (dir + "/" + name).c_str());
            printf("%s: %u", name, list.count);
            for (unsigned i = 0; i < list.count; ++i) printf(" %s", interface_mac_text(list, i));
            printf("%s\n", endpoints == nullptr ? " none" : "");
            free_interfaces(list);
        }
        return 0;
    });
    EXPECT_EQ(output,
              "missing: 0 none\n"
              "empty: 0 none\n"
              "one-line: 0 none\n"
              "headings: 0 none\n"
              "glued: 2 02:00:00:00:01:01 02:00:00:00:01:02\n"
              "unknown: 0 none\n");
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

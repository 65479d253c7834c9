// brindlex-install-server in private namespaces, against the lab's routers
// (the client's whole side of the conversation).
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fleet_report.h"
#include "floppy/crc32.h"
#include "net_peer.h"
#include "netinstall/netinstall_test_support.h"
#include "netinstall/router_installer.h"
#include "package_builder.h"
#include "terminal_screen.h"
#include "terminal_session.h"

namespace {

// Runs the tool with args in ns; ready for keys on its standard input.
bool start_tool(LabProcess& tool, const NetNamespace& ns, const std::vector<std::string>& args) {
    return start_in_namespace(tool, ns, [args] {
        std::vector<char*> argv = {const_cast<char*>(INSTALL_SERVER)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(INSTALL_SERVER, argv.data());
        return 127;
    });
}

// The exit status and output of the tool run to its end (standard input
// closed: a key at "Press ENTER to reboot" at once).
int run_tool(const NetNamespace& ns, const std::vector<std::string>& args, std::string& output) {
    LabProcess tool;
    if (!start_tool(tool, ns, args)) return -1;
    close(tool.input_fd);
    tool.input_fd = -1;
    finish_processes({&tool}, 90000);
    output = tool.output;
    return exit_code(tool);
}

bool start_router(LabProcess& router, const NetNamespace& ns, const std::string& label,
                  const std::string& folder) {
    PeerOptions options;
    options.label = label;
    options.folder = folder;
    return start_in_namespace(router, ns, [options] { return run_client_peer(options); });
}

// system, ppp (needs system), extra (needs ppp), of a few kilobytes each
// (extra of extra_size bytes when that is given).
struct Packages {
    FileFolder folder, tree;
    explicit Packages(size_t extra_size = 0) {
        for (const char* name : {"system", "ppp", "extra"}) {
            std::string content = tree.path + "/" + name;
            mkdir(content.c_str(), 0755);
            FileFolder data;
            size_t size = 3000 + strlen(name);
            if (extra_size > 0 && std::string(name) == "extra") size = extra_size;
            rename(data.make("payload.bin", size).c_str(), (content + "/payload.bin").c_str());
            PackageSource source;
            source.name = name;
            if (std::string(name) == "ppp") source.depends = {"system"};
            if (std::string(name) == "extra") source.depends = {"ppp"};
            source.tree = content;
            std::string error;
            EXPECT_TRUE(build_package(source, folder.path + "/" + name + ".vpk", &error)) << error;
        }
    }
    std::string received(const std::string& file) const {
        std::string bytes = folder.read(file);
        char text[80];
        snprintf(text, sizeof text, "received %s: %zu bytes, crc %08x\n", file.c_str(),
                 bytes.size(), crc32_ieee(bytes.data(), bytes.size()));
        return text;
    }
};

}  // namespace

// Only the named interfaces are used: the routers of the segment they are
// on are listed, the router behind another interface is not, and that
// interface is left as it was.
TEST(InstallServer, ListsTheRoutersHeardOnTheNamedInterfacesOnly) {
    NetNamespace hub, server, a, b, c;
    ASSERT_TRUE(create_namespace(hub) && create_namespace(server) && create_namespace(a) &&
                create_namespace(b) && create_namespace(c))
        << "private network namespaces are needed (run as root)";
    ASSERT_TRUE(add_segment(hub, "lan") &&
                join_segment(hub, "lan", server, "srv0", mac_option(SERVER_MAC)) &&
                join_segment(hub, "lan", server, "srv1", mac_option(SERVER_MAC_2)) &&
                join_segment(hub, "lan", a, "cli0", mac_option(CLIENT_MAC)) &&
                join_segment(hub, "lan", b, "oth0", mac_option(OTHER_CLIENT_MAC)) &&
                add_veth(server, "srv9", "02:00:00:00:01:09", c, "far0", "02:00:00:00:09:09"));
    ASSERT_TRUE(run_ip(server, {"link", "set", "srv9", "up"}));
    FileFolder unused;
    LabProcess router_a, router_b, router_c;
    ASSERT_TRUE(start_router(router_a, a, "alpha", unused.path));
    ASSERT_TRUE(start_router(router_b, b, "beta", unused.path));
    ASSERT_TRUE(start_router(router_c, c, "far", unused.path));

    std::string output;
    EXPECT_EQ(
        run_tool(server, {"--interface", "srv0", "--interface", "srv1", "--list", "--seconds", "3"},
                 output),
        0);
    EXPECT_EQ(output.substr(0, output.find("Found")), "Looking for routers on 2 interfaces...\n");
    EXPECT_NE(output.find("Found 2 routers:\n"), std::string::npos) << output;
    EXPECT_NE(output.find(" 02:00:00:00:02:01 (alpha) on srv"), std::string::npos);
    EXPECT_NE(output.find(" 02:00:00:00:03:01 (beta) on srv"), std::string::npos);
    EXPECT_EQ(output.find("far"), std::string::npos);

    // srv9 was up before and is not promiscuous; the named ones now are.
    LabProcess flags;
    ASSERT_TRUE(start_in_namespace(flags, server, [] {
        return system("ip -o link show srv9; ip -o link show srv0") == 0 ? 0 : 1;
    }));
    finish_processes({&flags}, 10000);
    std::string srv9 = flags.output.substr(0, flags.output.find('\n'));
    EXPECT_EQ(srv9.find("PROMISC"), std::string::npos) << srv9;
    EXPECT_NE(flags.output.find("PROMISC", srv9.size()), std::string::npos) << flags.output;

    // With the router behind srv9 gone, nobody announces on its cable.
    finish_processes({&router_a, &router_b, &router_c}, 100);
    EXPECT_EQ(run_tool(c, {"--interface", "far0", "--list", "--seconds", "2"}, output), 4);
    EXPECT_NE(output.find("Found 0 routers\n"), std::string::npos) << output;
    for (NetNamespace* ns : {&hub, &server, &a, &b, &c}) close_namespace(*ns);
}

// The first router heard gets every package of the directory in
// installation order and the script made from the options; then one
// package and what it needs, with a script file.
TEST(InstallServer, InstallsARouterWithTheDirectorysPackagesInOrder) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    Packages packages;
    FileFolder received;
    LabProcess router;
    ASSERT_TRUE(start_router(router, cable.client, "lab-router", received.path));
    std::string output;
    EXPECT_EQ(
        run_tool(cable.server,
                 {"--interface", "srv0", "--install", "first", "--packages", packages.folder.path,
                  "--address", "10.0.0.2/24", "--gateway", "10.0.0.1", "--baud", "115200"},
                 output),
        0)
        << output;
    EXPECT_EQ(output,
              "Looking for routers on 1 interface...\n"
              "Installing router 02:00:00:00:02:01 (lab-router) on srv0\n"
              "\n\nSending offer...\nFormating and partitioning harddisk...\n"
              "Transfering: system.vpk...\nTransfering: ppp.vpk...\nTransfering: extra.vpk...\n"
              "Transfering: configuration...\n\nSoftware installed.\nPress ENTER to reboot\n");
    EXPECT_TRUE(finish_processes({&router}, 20000));
    std::string files = router.output.substr(router.output.find("keep: no\n\n") + 10);
    EXPECT_EQ(files.substr(0, files.find("received autorun.scr")),
              packages.received("system.vpk") + packages.received("ppp.vpk") +
                  packages.received("extra.vpk"));
    EXPECT_EQ(received.read("autorun.scr"),
              ":local eth\n"
              ":set eth [/interface ethernet get [/interface ethernet find "
              "mac-address=02:00:00:00:02:01] name]\n"
              "/interface enable $eth\n"
              "/ip address add address=10.0.0.2/24 interface=$eth\n"
              "/ip route add gateway=10.0.0.1\n"
              "/port set [/port find] baud-rate=115200\n");

    FileFolder again;
    std::string script_file = again.path + "/site.scr";
    FILE* f = fopen(script_file.c_str(), "w");
    fputs("/system identity set name=lab\n", f);
    fclose(f);
    LabProcess second;
    ASSERT_TRUE(start_router(second, cable.client, "lab-router", again.path));
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--install", "02:00:00:00:02:01", "--packages",
                        packages.folder.path, "--package", "ppp", "--script", script_file},
                       output),
              0)
        << output;
    EXPECT_TRUE(finish_processes({&second}, 20000));
    EXPECT_NE(output.find("Transfering: system.vpk...\nTransfering: ppp.vpk...\n"
                          "Transfering: configuration..."),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("extra"), std::string::npos);
    EXPECT_EQ(again.read("autorun.scr"), "/system identity set name=lab\n");
}

// Every failure has its message and exit status.
TEST(InstallServer, SaysWhatWentWrongWithItsExitStatus) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    Packages packages;
    std::string output;
    EXPECT_EQ(run_tool(cable.server, {"--list"}, output), 2);
    EXPECT_NE(output.find("Usage: brindlex-install-server"), std::string::npos);
    EXPECT_EQ(run_tool(cable.server, {"--interface", "srv0", "--install", "first"}, output), 2);
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--install", "first", "--packages",
                        packages.folder.path, "--keep", "--baud", "9600"},
                       output),
              2);
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--install", "first", "--packages",
                        packages.folder.path, "--address", "10.0.0.2/33"},
                       output),
              2);
    EXPECT_EQ(run_tool(cable.server, {"--interface", "nosuch0", "--list"}, output), 3);
    EXPECT_NE(output.find("cannot use the interface nosuch0"), std::string::npos) << output;
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--install", "first", "--packages", "/nonexistent"},
                       output),
              5);
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--install", "first", "--packages",
                        packages.folder.path, "--package", "nosuch"},
                       output),
              5);
    EXPECT_NE(output.find("no package nosuch"), std::string::npos) << output;
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--install", "first", "--packages",
                        packages.folder.path, "--script", "/nonexistent.scr"},
                       output),
              6);
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--install", "first", "--packages",
                        packages.folder.path, "--keep", "--seconds", "2"},
                       output),
              4);
    EXPECT_NE(output.find("No router heard\n"), std::string::npos) << output;

    // A router that never answers the offer; the tool's standard input is
    // a pipe nobody writes to, which gives no key: it does not wait at
    // "press any key".
    LabProcess quiet;
    ASSERT_TRUE(start_in_namespace(quiet, cable.client,
                                   [] { return scripted_router("cli0", CLIENT_MAC); }));
    ASSERT_TRUE(wait_for_output(quiet, "ready\n", 10000));
    LabProcess tool;
    ASSERT_TRUE(start_tool(tool, cable.server,
                           {"--interface", "srv0", "--install", "02:00:00:00:02:01", "--packages",
                            packages.folder.path, "--keep"}));
    ASSERT_TRUE(wait_for_output(tool, "Looking for routers", 10000));
    send_keys(quiet, "lab-router\n");
    ASSERT_TRUE(wait_for_output(tool, "No response from router (press any key)\n", 20000))
        << tool.output;
    EXPECT_TRUE(finish_processes({&tool}, 5000));
    EXPECT_EQ(exit_code(tool), 1);
    finish_processes({&quiet}, 100);
}

namespace {

// CPU time (user and system, clock ticks) a process has used so far.
long cpu_ticks(pid_t pid) {
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr) return -1;
    char text[1024] = {};
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    // Fields 14 and 15, counted after the command's closing parenthesis.
    const char* p = strrchr(text, ')');
    long utime = 0, stime = 0;
    if (p == nullptr ||
        sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) != 2)
        return -1;
    return utime + stime;
}

// The MAC 02:00:00:AA:HI:LO.
std::vector<uint8_t> numbered_mac(int n) {
    return {0x02, 0x00, 0x00, 0xAA, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xff)};
}

}  // namespace

// The server against what a hostile machine on its segment sends. Listing:
// a flood of junk and of announcements from another port; labels with
// terminal controls, CR, BEL and 8-bit bytes (shown as '?'), too long or
// without a line end (not listed); announcements from the all-zero MAC,
// longer than the receive buffer though their first 4096 bytes look whole,
// or with a payload length that lies (not listed); then 150 more routers,
// of which the list keeps 100 in all and says that it is full. Installing:
// acknowledgements from another MAC, below and above the sequence numbers,
// and from the router's own MAC above them, all the while: the router gets
// every package whole. A router that accepts and never starts: the server
// waits for it without burning the processor.
TEST(InstallServer, FacesAHostileSegment) {
    NetNamespace hub, server, router, hostile;
    ASSERT_TRUE(create_namespace(hub) && create_namespace(server) && create_namespace(router) &&
                create_namespace(hostile))
        << "private network namespaces are needed (run as root)";
    ASSERT_TRUE(add_segment(hub, "lan") &&
                join_segment(hub, "lan", server, "srv0", mac_option(SERVER_MAC)) &&
                join_segment(hub, "lan", router, "cli0", mac_option(CLIENT_MAC)) &&
                join_segment(hub, "lan", hostile, "bad0", mac_option(OTHER_CLIENT_MAC)));
    ASSERT_TRUE(run_ip(server, {"link", "set", "srv0", "up"}) &&
                run_ip(router, {"link", "set", "cli0", "up"}) &&
                run_ip(hostile, {"link", "set", "bad0", "up"}) &&
                wait_until_running(server, "srv0") && wait_until_running(router, "cli0") &&
                wait_until_running(hostile, "bad0"));
    const uint8_t ZERO[MAC_LENGTH] = {};

    // Listing.
    LabProcess lister, attacker;
    ASSERT_TRUE(start_tool(lister, server, {"--interface", "srv0", "--list", "--seconds", "6"}));
    ASSERT_TRUE(wait_for_output(lister, "Looking for routers", 10000));
    ASSERT_TRUE(start_in_namespace(attacker, hostile, [&] {
        Injector own_port, other_port;
        if (!open_injector(own_port, "bad0", INSTALL_PORT) ||
            !open_injector(other_port, "bad0", 5001))
            return 1;
        std::vector<uint8_t> junk(64, 0xEE);
        std::vector<uint8_t> elsewhere = forged_announcement(numbered_mac(9999).data(), "other");
        for (int i = 0; i < 20000; ++i)
            inject(i % 2 ? own_port : other_port, i % 2 ? junk : elsewhere);
        usleep(300000);
        const uint8_t H1[] = {2, 0, 0, 0xBB, 0, 1}, H2[] = {2, 0, 0, 0xBB, 0, 2},
                      H3[] = {2, 0, 0, 0xBB, 0, 3}, H4[] = {2, 0, 0, 0xBB, 0, 4},
                      H5[] = {2, 0, 0, 0xBB, 0, 5}, H6[] = {2, 0, 0, 0xBB, 0, 6};
        std::vector<std::vector<uint8_t>> bad = {
            forged_announcement(H1, "\x1b[2J\r\a\xe9x\n"),
            forged_announcement(H2, "\r 02:00:00:00:66:66 (fake)\n"),
            forged_announcement(H3, std::string(32, 'L') + "\n"),
            forged_announcement(H4, "no line end"),
            forged_announcement(ZERO, "zero\n"),
            forged_datagram(H6, ZERO, 0, KIND_TEXT, 1, 0, "DSCV\n\n\nlying\n", 1),
        };
        // Cut to 4096 bytes it would look whole: its length says 4076.
        std::vector<uint8_t> oversized = forged_announcement(H5, "cut\n");
        oversized.resize(5000, 'x');
        oversized[14] = static_cast<uint8_t>((4096 - HEADER_SIZE) & 0xff);
        oversized[15] = static_cast<uint8_t>((4096 - HEADER_SIZE) >> 8);
        bad.push_back(oversized);
        for (const auto& d : bad) {
            inject(own_port, d);
            usleep(2000);
        }
        for (int i = 0; i < 150; ++i) {
            inject(own_port,
                   forged_announcement(numbered_mac(i).data(), "r" + std::to_string(i) + "\n"));
            usleep(2000);
        }
        return 0;
    }));
    EXPECT_TRUE(finish_processes({&lister, &attacker}, 30000));
    EXPECT_EQ(exit_code(attacker), 0);
    EXPECT_EQ(exit_code(lister), 0) << lister.output;
    const std::string& listed = lister.output;
    EXPECT_FALSE(has_control_bytes(listed)) << listed;
    EXPECT_NE(listed.find("Found 100 routers:\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find(" 02:00:00:BB:00:01 (?[2J???x) on srv0\n"), std::string::npos);
    EXPECT_NE(listed.find(" 02:00:00:BB:00:02 (? 02:00:00:00:66:66 (fake)) on srv0\n"),
              std::string::npos);
    for (const char* absent : {"BB:00:03", "BB:00:04", "BB:00:05", "BB:00:06", "00:00:00:00:00:00",
                               "AA:27:0F", " (r98)", " (r149)"})
        EXPECT_EQ(listed.find(absent), std::string::npos) << absent;
    EXPECT_NE(listed.find(" 02:00:00:AA:00:61 (r97) on srv0\n"), std::string::npos);
    size_t entries = 0;
    for (size_t at = 0; (at = listed.find(") on srv0\n", at)) != std::string::npos; ++at) ++entries;
    EXPECT_EQ(entries, 100u);
    EXPECT_EQ(listed.substr(listed.size() - std::min(listed.size(), sizeof ROUTER_LIST_FULL)),
              std::string(ROUTER_LIST_FULL) + "\n");

    // Installing, through a spray of acknowledgements.
    Packages packages;
    FileFolder received;
    LabProcess real, sprayer, installing;
    ASSERT_TRUE(start_router(real, router, "lab\x1b[31mred", received.path));
    ASSERT_TRUE(start_in_namespace(sprayer, hostile, [] {
        Injector own_port;
        if (!open_injector(own_port, "bad0", INSTALL_PORT)) return 1;
        for (int i = 0; i < 4000; ++i) {
            inject(own_port, forged_datagram(OTHER_CLIENT_MAC, SERVER_MAC, ACK_FLAG, KIND_TEXT, 4,
                                             static_cast<uint16_t>(i % 60), ""));
            inject(own_port,
                   forged_datagram(CLIENT_MAC, SERVER_MAC, ACK_FLAG, KIND_TEXT, 4, 60000, ""));
            usleep(1000);
        }
        return 0;
    }));
    ASSERT_TRUE(start_tool(installing, server,
                           {"--interface", "srv0", "--install", "02:00:00:00:02:01", "--packages",
                            packages.folder.path, "--keep"}));
    EXPECT_TRUE(finish_processes({&installing, &real}, 60000));
    finish_processes({&sprayer}, 10000);
    EXPECT_EQ(exit_code(installing), 0) << installing.output;
    EXPECT_NE(installing.output.find("Installing router 02:00:00:00:02:01 (lab?[31mred) on srv0\n"),
              std::string::npos)
        << installing.output;
    EXPECT_FALSE(has_control_bytes(installing.output));
    for (const char* name : {"system.vpk", "ppp.vpk", "extra.vpk"})
        EXPECT_EQ(received.read(name), packages.folder.read(name)) << name;

    // A router that accepts and never starts.
    LabProcess stalling, waiting;
    ASSERT_TRUE(start_in_namespace(
        stalling, hostile, [] { return scripted_router("bad0", OTHER_CLIENT_MAC, "YACK\n"); }));
    ASSERT_TRUE(wait_for_output(stalling, "ready\n", 10000));
    ASSERT_TRUE(start_tool(waiting, server,
                           {"--interface", "srv0", "--install", "02:00:00:00:03:01", "--packages",
                            packages.folder.path, "--keep"}));
    ASSERT_TRUE(wait_for_output(waiting, "Looking for routers", 10000));
    send_keys(stalling, "stalling\n");
    ASSERT_TRUE(wait_for_output(waiting, "Formating and partitioning harddisk...\n", 20000))
        << waiting.output;
    long before = cpu_ticks(waiting.pid);
    usleep(3000000);
    long used = cpu_ticks(waiting.pid) - before;
    EXPECT_GE(before, 0);
    // Spinning would take all 3 s (300 ticks at 100 a second).
    EXPECT_LT(used, 30) << "ticks in 3 s of waiting for the start";
    EXPECT_EQ(waiting.output.find("Transfering"), std::string::npos);
    finish_processes({&waiting, &stalling}, 100);
    for (NetNamespace* ns : {&hub, &server, &router, &hostile}) close_namespace(*ns);
}

namespace {

// A network boot image as brindlex-make-netboot lays it out, readable by
// dnsmasq's unprivileged user.
struct NetbootTree {
    FileFolder folder;
    NetbootTree() {
        chmod(folder.path.c_str(), 0755);
        folder.make("pxelinux.0", 20000, 7);
        mkdir((folder.path + "/pxelinux.cfg").c_str(), 0755);
        folder.make("pxelinux.cfg/default", 300, 8);
    }
};

// What a shell command run in ns printed (standard output and error).
std::string run_in(const NetNamespace& ns, const std::string& command) {
    LabProcess shell;
    if (!start_in_namespace(shell, ns, [command] { return system(command.c_str()) == 0 ? 0 : 1; }))
        return "cannot start";
    finish_processes({&shell}, 30000);
    return shell.output;
}

// The dnsmasq processes serving tree, on this machine (any namespace).
int dnsmasq_serving(const std::string& tree) {
    std::string pattern = "--tftp-root=" + tree;
    int count = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        std::string cmdline = std::string("/proc/") + entry->d_name + "/cmdline";
        FILE* f = fopen(cmdline.c_str(), "rb");
        if (f == nullptr) continue;
        char buffer[4096];
        size_t n = fread(buffer, 1, sizeof buffer - 1, f);
        fclose(f);
        std::string words(buffer, n);
        if (words.find(pattern + '\0') != std::string::npos) ++count;
    }
    if (proc != nullptr) closedir(proc);
    return count;
}

}  // namespace

// --netboot: dnsmasq leads the segment on the named interface, which has
// the service's address while it runs; a PXE client there gets a lease,
// the loader's name and the loader itself over TFTP; dnsmasq's lines show
// with the prefix. A SIGINT stops it all and takes the address back.
TEST(InstallServer, NetbootServesTheBootImageUntilStopped) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    NetbootTree tree;
    LabProcess tool;
    ASSERT_TRUE(
        start_tool(tool, cable.server, {"--interface", "srv0", "--netboot", tree.folder.path}));
    ASSERT_TRUE(wait_for_output(
        tool, "Serving the network boot image " + tree.folder.path + " on srv0\n", 15000))
        << tool.output;
    EXPECT_NE(tool.output.find("netboot: dnsmasq-dhcp["), std::string::npos) << tool.output;
    EXPECT_NE(tool.output.find("TFTP root is " + tree.folder.path + "\n"), std::string::npos)
        << tool.output;
    EXPECT_NE(run_in(cable.server, "ip -o -4 address show srv0").find("192.168.253.1/24"),
              std::string::npos);
    EXPECT_EQ(dnsmasq_serving(tree.folder.path), 1);

    // The client side of a PXE boot: DHCP (the lease and the file to
    // load), then TFTP from the server the lease names.
    FileFolder client_files;
    std::string got = client_files.path + "/pxelinux.0";
    std::string hook = client_files.path + "/udhcpc.sh";
    std::string client = run_in(cable.client,
                                "printf '#!/bin/sh\\n[ \"$1\" = bound ] && echo lease $ip file "
                                "$boot_file server $siaddr && "
                                "ip address add $ip/$mask dev $interface\\n"
                                "exit 0\\n' > " +
                                    hook + " && chmod 755 " + hook + " && " +
                                    "busybox udhcpc -i cli0 -n -q -f -t 5 -T 2 -s " + hook +
                                    " 2>/dev/null && "
                                    "busybox tftp -g -r pxelinux.0 -l " +
                                    got + " 192.168.253.1");
    EXPECT_NE(client.find("lease 192.168.253.1"), std::string::npos) << client;
    EXPECT_NE(client.find(" file pxelinux.0 server 192.168.253.1\n"), std::string::npos) << client;
    EXPECT_TRUE(client_files.read("pxelinux.0") == tree.folder.read("pxelinux.0"));
    ASSERT_TRUE(wait_for_output(tool, "pxelinux.0 to 192.168.253.", 5000)) << tool.output;
    EXPECT_NE(tool.output.find("netboot: dnsmasq-dhcp[", 0), std::string::npos);
    EXPECT_NE(tool.output.find("]: DHCPACK(srv0) 192.168.253.1"), std::string::npos) << tool.output;

    kill(tool.pid, SIGINT);
    finish_processes({&tool}, 15000);
    EXPECT_EQ(exit_code(tool), 128 + SIGINT) << tool.output;
    EXPECT_EQ(dnsmasq_serving(tree.folder.path), 0);
    EXPECT_EQ(run_in(cable.server, "ip -o -4 address show srv0"), "");
}

// --netboot refuses before anything is started: no dnsmasq on the PATH, an
// interface that does not exist, a tree without pxelinux.0, and --proxy-dhcp
// on an interface without an address. Combined with --list it ends with
// the listing (here: no router, status 4), dnsmasq stopped, the address
// taken back.
TEST(InstallServer, NetbootRefusesBeforeStartingAndStopsWithTheListing) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    NetbootTree tree;
    FileFolder empty;
    struct Refusal {
        std::vector<std::string> args;
        const char* path;  // PATH for the tool, or null to keep it
        int status;
        std::string said;
    };
    const std::vector<Refusal> refusals = {
        {{"--interface", "srv0", "--netboot", tree.folder.path},
         "/nowhere",
         7,
         "brindlex-install-server: no dnsmasq program (it comes with Debian's dnsmasq-base "
         "package)\n"},
        {{"--interface", "eth7", "--netboot", tree.folder.path},
         nullptr,
         3,
         "brindlex-install-server: there is no interface eth7\n"},
        {{"--interface", "srv0", "--netboot", empty.path, "--list"},
         nullptr,
         8,
         "brindlex-install-server: " + empty.path +
             " has no pxelinux.0: not a network boot image (brindlex-make-netboot makes one)\n"},
        {{"--interface", "srv0", "--netboot", tree.folder.path, "--proxy-dhcp"},
         nullptr,
         3,
         "brindlex-install-server: --proxy-dhcp needs the address the segment's DHCP server "
         "gave srv0, and it has none\n"},
    };
    for (const Refusal& refusal : refusals) {
        LabProcess tool;
        std::vector<std::string> args = refusal.args;
        const char* path = refusal.path;
        ASSERT_TRUE(start_in_namespace(tool, cable.server, [args, path] {
            if (path != nullptr) setenv("PATH", path, 1);
            std::vector<char*> argv = {const_cast<char*>(INSTALL_SERVER)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(INSTALL_SERVER, argv.data());
            return 127;
        }));
        finish_processes({&tool}, 15000);
        EXPECT_EQ(exit_code(tool), refusal.status) << tool.output;
        EXPECT_EQ(tool.output, refusal.said);
        EXPECT_EQ(dnsmasq_serving(tree.folder.path), 0);
        EXPECT_EQ(run_in(cable.server, "ip -o -4 address show srv0"), "");
    }
    std::string output;
    // Usage: --netboot on two interfaces, --proxy-dhcp alone.
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--interface", "lo", "--netboot", tree.folder.path},
                       output),
              2);
    EXPECT_EQ(run_tool(cable.server, {"--interface", "srv0", "--proxy-dhcp", "--list"}, output), 2);

    EXPECT_EQ(
        run_tool(cable.server,
                 {"--interface", "srv0", "--netboot", tree.folder.path, "--list", "--seconds", "2"},
                 output),
        4)
        << output;
    EXPECT_NE(output.find("Serving the network boot image"), std::string::npos) << output;
    EXPECT_NE(output.find("Looking for routers on 1 interface...\n"), std::string::npos) << output;
    EXPECT_NE(output.find("Found 0 routers\n"), std::string::npos) << output;
    EXPECT_EQ(dnsmasq_serving(tree.folder.path), 0);
    EXPECT_EQ(run_in(cable.server, "ip -o -4 address show srv0"), "");

    // Beside the segment's DHCP server: the boot answers only, on the
    // network of the address srv0 has, which stays.
    ASSERT_TRUE(run_ip(cable.server, {"address", "add", "192.0.2.5/24", "dev", "srv0"}));
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--netboot", tree.folder.path, "--proxy-dhcp",
                        "--list", "--seconds", "1"},
                       output),
              4)
        << output;
    EXPECT_NE(output.find("]: DHCP, proxy on subnet 192.0.2.0\n"), std::string::npos) << output;
    EXPECT_EQ(dnsmasq_serving(tree.folder.path), 0);
    EXPECT_NE(run_in(cable.server, "ip -o -4 address show srv0").find("192.0.2.5/24"),
              std::string::npos);
}

namespace {

void write_file(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(text.c_str(), f);
    fclose(f);
}

// The configuration script of a router with an address, as the router's
// command line takes it.
std::string address_script(const std::string& mac, const std::string& address,
                           const std::string& gateway = "", const std::string& baud = "") {
    std::string text =
        ":local eth\n:set eth [/interface ethernet get [/interface ethernet find "
        "mac-address=" +
        mac + "] name]\n/interface enable $eth\n/ip address add address=" + address +
        " interface=$eth\n";
    if (!gateway.empty()) text += "/ip route add gateway=" + gateway + "\n";
    if (!baud.empty()) text += "/port set [/port find] baud-rate=" + baud + "\n";
    return text;
}

// Whether a lab router has been offered an installation.
bool was_offered(LabProcess& router) {
    wait_for_output(router, "keep: ", 10);
    return router.output.find("keep: ") != std::string::npos;
}

}  // namespace

// A fleet of eight lab routers on one segment whose hub loses 2 % of the
// frames, plus one router that is not in the table, and one listed router
// that never comes. Tables with a bad line or a MAC listed twice are
// refused before anything is sent. Then one run installs the fleet at
// once: each router gets every package byte for byte and exactly its own
// configuration (address, keep, its script file); the one that goes silent
// in the middle of a package fails with the timeout while the seven others
// complete; the stranger is left alone and goes on announcing; the listed
// router never heard is missing. The progress lines, the summary table,
// the JSON report and the exit status say so.
TEST(InstallServer, InstallsAFleetAtOnce) {
    FaultPlan faults;
    faults.seed = 20;
    faults.drop_percent = 2;
    RelayedSegment segment(9, faults);
    ASSERT_TRUE(segment.ok) << "private network namespaces are needed (run as root)";
    Packages packages(1 << 20);
    FileFolder site;
    std::vector<FileFolder> received(9);
    std::vector<LabProcess> lab(9);
    for (int i = 0; i < 9; ++i)
        ASSERT_TRUE(
            start_router(lab[static_cast<size_t>(i)], segment.routers[static_cast<size_t>(i)],
                         "lab-" + std::to_string(i + 1), received[static_cast<size_t>(i)].path));
    const std::string core = "/system identity set name=core\n/ip dns set servers=10.0.0.53\n";
    const std::string edge = "/system identity set name=edge\n";
    write_file(site.path + "/core.scr", core);
    write_file(site.path + "/edge.scr", edge);
    const std::string table = site.path + "/fleet.txt";
    write_file(table,
               "# the lab's fleet\n"
               "02:00:00:00:10:01 address 10.0.1.1/24 gateway 10.0.1.254 baud 115200\n"
               "02:00:00:00:10:02 address 10.0.2.1/16\n"
               "\n"
               "02:00:00:00:10:03 keep\n"
               "02:00:00:00:10:04 script " +
                   site.path +
                   "/core.scr\n"
                   "02:00:00:00:10:05 script edge.scr   # beside the table\n"
                   "02:00:00:00:10:06 address 192.0.2.6/32 baud 9600\n"
                   "02:00:00:00:10:07 address 10.0.7.1/24 gateway 10.0.7.254\n"
                   "02:00:00:00:10:08 address 10.0.8.1/24\n"
                   "02:00:00:00:20:01 keep  # never comes\n");

    // Refused tables: nothing reaches any router.
    std::string output;
    write_file(site.path + "/bad.txt",
               "02:00:00:00:10:01 keep\n\n02:00:00:00:10:02 address 10.0.2.1\n");
    EXPECT_EQ(run_tool(segment.server,
                       {"--interface", "srv0", "--fleet", site.path + "/bad.txt", "--packages",
                        packages.folder.path},
                       output),
              2);
    EXPECT_NE(output.find(site.path +
                          "/bad.txt:3: not an address A.B.C.D/BITS (BITS at most 32): 10.0.2.1\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("Looking for routers"), std::string::npos) << output;
    write_file(site.path + "/twice.txt", "02:00:00:00:10:01 keep\n02:00:00:00:10:01 keep\n");
    EXPECT_EQ(run_tool(segment.server,
                       {"--interface", "srv0", "--fleet", site.path + "/twice.txt", "--packages",
                        packages.folder.path},
                       output),
              2);
    EXPECT_NE(output.find("twice.txt:2: 02:00:00:00:10:01 is listed twice (first on line 1)"),
              std::string::npos)
        << output;
    write_file(site.path + "/noscript.txt", "02:00:00:00:10:01 script none.scr\n");
    EXPECT_EQ(run_tool(segment.server,
                       {"--interface", "srv0", "--fleet", site.path + "/noscript.txt", "--packages",
                        packages.folder.path},
                       output),
              6);
    EXPECT_EQ(run_tool(segment.server,
                       {"--interface", "srv0", "--fleet", table, "--packages", packages.folder.path,
                        "--keep"},
                       output),
              2);
    for (LabProcess& router : lab) EXPECT_FALSE(was_offered(router));

    // The run.
    const std::string report = site.path + "/report.json";
    LabProcess tool;
    ASSERT_TRUE(start_tool(tool, segment.server,
                           {"--interface", "srv0", "--fleet", table, "--packages",
                            packages.folder.path, "--seconds", "40", "--report", report}));
    close(tool.input_fd);
    tool.input_fd = -1;
    // Router 8 goes silent with a part of the big package.
    const std::string partial = received[7].path + "/extra.vpk";
    bool silenced = false;
    for (int waited = 0; waited < 60000 && !silenced; ++waited) {
        struct stat status;
        if (stat(partial.c_str(), &status) == 0 && status.st_size > 100000) {
            kill(lab[7].pid, SIGKILL);
            silenced = true;
        }
        usleep(1000);
    }
    EXPECT_TRUE(silenced);
    EXPECT_TRUE(finish_processes({&tool}, 120000));
    EXPECT_EQ(exit_code(tool), 1) << tool.output;
    const std::string& said = tool.output;
    EXPECT_FALSE(has_control_bytes(said)) << said;
    EXPECT_EQ(said.substr(0, said.find('\n', said.find('\n') + 1) + 1),
              "Looking for routers on 1 interface...\n"
              "Fleet of 9 routers, 3 packages each\n");

    std::vector<LabProcess*> installed;
    for (int i : {0, 1, 2, 3, 4, 5, 6}) installed.push_back(&lab[static_cast<size_t>(i)]);
    EXPECT_TRUE(finish_processes(installed, 30000));
    for (int i : {0, 1, 2, 3, 4, 5, 6}) {
        const size_t k = static_cast<size_t>(i);
        EXPECT_EQ(exit_code(lab[k]), 0) << lab[k].output;
        for (const char* name : {"system.vpk", "ppp.vpk", "extra.vpk"})
            EXPECT_EQ(received[k].read(name), packages.folder.read(name)) << i << " " << name;
        // Its progress, in order, and its end.
        const std::string mac = segment_router_mac(i);
        const std::string who = mac + " (lab-" + std::to_string(i + 1) + "): ";
        size_t at = 0;
        for (const std::string step :
             {"offered\n", "preparing its disk\n", "sending package 1 of 3 (system.vpk)\n",
              "sending package 2 of 3 (ppp.vpk)\n", "sending package 3 of 3 (extra.vpk)\n",
              "sending its configuration\n", "done, "}) {
            at = said.find(who + step, at);
            EXPECT_NE(at, std::string::npos) << who << step << said;
            if (at == std::string::npos) break;
        }
    }
    EXPECT_EQ(received[0].read("autorun.scr"),
              address_script("02:00:00:00:10:01", "10.0.1.1/24", "10.0.1.254", "115200"));
    EXPECT_EQ(received[1].read("autorun.scr"), address_script("02:00:00:00:10:02", "10.0.2.1/16"));
    EXPECT_NE(lab[2].output.find("keep: yes\n"), std::string::npos);
    struct stat none;
    EXPECT_NE(stat((received[2].path + "/autorun.scr").c_str(), &none), 0);
    EXPECT_EQ(received[3].read("autorun.scr"), core);
    EXPECT_EQ(received[4].read("autorun.scr"), edge);
    EXPECT_EQ(received[5].read("autorun.scr"),
              address_script("02:00:00:00:10:06", "192.0.2.6/32", "", "9600"));
    EXPECT_EQ(received[6].read("autorun.scr"),
              address_script("02:00:00:00:10:07", "10.0.7.1/24", "10.0.7.254"));

    // The silent one failed after the seven others were done.
    size_t failed =
        said.find("02:00:00:00:10:08 (lab-8): failed: FATAL ERROR: Installation timeout\n");
    EXPECT_NE(failed, std::string::npos) << said;
    for (int i = 0; i < 7; ++i)
        EXPECT_LT(said.find(segment_router_mac(i) + " (lab-" + std::to_string(i + 1) + "): done"),
                  failed);
    // The stranger: never offered, still announcing.
    EXPECT_NE(said.find("02:00:00:00:10:09 (lab-9): not in the table, left alone\n"),
              std::string::npos)
        << said;
    EXPECT_FALSE(was_offered(lab[8]));
    EXPECT_FALSE(lab[8].ended);
    std::string listed;
    EXPECT_EQ(run_tool(segment.server, {"--interface", "srv0", "--list", "--seconds", "3"}, listed),
              0);
    EXPECT_NE(listed.find(" 02:00:00:00:10:09 (lab-9) on srv0\n"), std::string::npos) << listed;

    // The summary and the report.
    size_t summary = said.find("\nMAC ");
    ASSERT_NE(summary, std::string::npos) << said;
    const std::string table_text = said.substr(summary);
    for (int i = 0; i < 7; ++i)
        EXPECT_NE(table_text.find(segment_router_mac(i) + "  lab-" + std::to_string(i + 1)),
                  std::string::npos);
    EXPECT_NE(table_text.find("installed   3/3"), std::string::npos) << table_text;
    EXPECT_NE(table_text.find("failed      2/3"), std::string::npos) << table_text;
    EXPECT_NE(table_text.find("02:00:00:00:20:01  -"), std::string::npos) << table_text;
    EXPECT_NE(table_text.find("missing"), std::string::npos);
    EXPECT_NE(table_text.find("7 installed, 1 failed, 1 missing, 1 left alone\n"),
              std::string::npos)
        << table_text;
    std::string json = site.read("report.json");
    EXPECT_EQ(
        system(("python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " + report).c_str()), 0)
        << json;
    EXPECT_NE(json.find("{\"mac\": \"02:00:00:00:10:01\", \"label\": \"lab-1\", \"configuration\": "
                        "\"address 10.0.1.1/24 gateway 10.0.1.254 baud 115200\", \"packages\": "
                        "[\"system.vpk\", \"ppp.vpk\", \"extra.vpk\"], \"bytes\": "),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"configuration\": \"script " + site.path +
                        "/edge.scr\", \"packages\": [\"system.vpk\", \"ppp.vpk\", \"extra.vpk\"]"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"mac\": \"02:00:00:00:10:08\", \"label\": \"lab-8\", \"configuration\": "
                        "\"address 10.0.8.1/24\", \"packages\": [\"system.vpk\", \"ppp.vpk\"], "),
              std::string::npos)
        << json;
    EXPECT_NE(
        json.find("\"result\": \"failed\", \"failure\": \"FATAL ERROR: Installation timeout\""),
        std::string::npos);
    EXPECT_NE(json.find("{\"mac\": \"02:00:00:00:20:01\", \"label\": \"\", \"configuration\": "
                        "\"keep\", \"packages\": [], \"bytes\": 0, \"seconds\": 0.000, \"result\": "
                        "\"missing\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"mac\": \"02:00:00:00:10:09\", \"label\": \"lab-9\", \"configuration\": "
                        "null, \"packages\": [], \"bytes\": 0, \"seconds\": 0.000, \"result\": "
                        "\"left alone\""),
              std::string::npos)
        << json;
    finish_processes({&lab[7], &lab[8]}, 100);
}

// On a terminal, serving: the listed router and one that the "*" line
// configures are installed, each on one line redrawn in place with its
// bytes; SIGTERM ends the serving with the summary, and every listed router
// installed makes the status 0.
TEST(InstallServer, ServesAFleetOnATerminalUntilStopped) {
    RelayedSegment segment(2, FaultPlan());
    ASSERT_TRUE(segment.ok) << "private network namespaces are needed (run as root)";
    Packages packages(300000);
    FileFolder site, first, second;
    LabProcess one, two;
    ASSERT_TRUE(start_router(one, segment.routers[0], "lab-1", first.path));
    ASSERT_TRUE(start_router(two, segment.routers[1], "lab-2", second.path));
    const std::string table = site.path + "/fleet.txt";
    write_file(table, "02:00:00:00:10:01 address 10.0.1.1/24\n* keep\n");
    const std::string pid_file = site.path + "/pid";
    const NetNamespace& server = segment.server;
    auto stop = [&] {
        FILE* f = fopen(pid_file.c_str(), "r");
        int pid = 0;
        if (f != nullptr && fscanf(f, "%d", &pid) == 1 && pid > 0) kill(pid, SIGTERM);
        if (f != nullptr) fclose(f);
    };
    TerminalSession session = run_on_terminal(
        [&] {
            FILE* f = fopen(pid_file.c_str(), "w");
            if (f == nullptr || !enter_namespace(server)) return 127;
            fprintf(f, "%d\n", static_cast<int>(getpid()));
            fclose(f);
            execl(INSTALL_SERVER, INSTALL_SERVER, "--interface", "srv0", "--fleet", table.c_str(),
                  "--packages", packages.folder.path.c_str(), "--serve",
                  static_cast<char*>(nullptr));
            return 127;
        },
        {TerminalStep("(lab-1): done", "", {}, 60000),
         TerminalStep("(lab-2): done", "", stop, 60000)});
    EXPECT_EQ(session.error, "");
    EXPECT_EQ(session.exit_code, 0) << session.output;
    EXPECT_TRUE(finish_processes({&one, &two}, 20000));
    EXPECT_EQ(first.read("extra.vpk"), packages.folder.read("extra.vpk"));
    EXPECT_EQ(second.read("extra.vpk"), packages.folder.read("extra.vpk"));
    EXPECT_NE(one.output.find("keep: no\n"), std::string::npos);
    EXPECT_NE(two.output.find("keep: yes\n"), std::string::npos);

    // The progress lines were drawn again and again in place: the screen
    // holds each router once, done, above the summary.
    TerminalScreen screen;
    screen.feed(session.output);
    EXPECT_EQ(screen.unknown_sequences(), "");
    EXPECT_NE(session.output.find("\x1b[2A"), std::string::npos);
    std::vector<std::string> rows;
    for (int row = 1; row <= TerminalScreen::ROWS; ++row) rows.push_back(screen.row_text(row));
    auto at = std::find(rows.begin(), rows.end(), "Looking for routers on 1 interface...");
    ASSERT_NE(at, rows.end()) << session.output;
    EXPECT_EQ(at[1], "Fleet of 1 router and every other router, 3 packages each");
    size_t sizes = 0;
    for (const char* name : {"system.vpk", "ppp.vpk", "extra.vpk"})
        sizes += packages.folder.read(name).size();
    const size_t script = address_script("02:00:00:00:10:01", "10.0.1.1/24").size();
    EXPECT_EQ(at[2],
              "02:00:00:00:10:01 (lab-1): done, " + std::to_string(sizes + script) + " bytes");
    EXPECT_EQ(at[3], "02:00:00:00:10:02 (lab-2): done, " + std::to_string(sizes) + " bytes");
    EXPECT_EQ(at[4], "");
    EXPECT_EQ(at[5].substr(0, 3), "MAC");
    EXPECT_EQ(at[8], "2 installed, 0 failed, 0 missing, 0 left alone");
}

namespace {

// How many processes pid has started that still run.
int children_of(pid_t pid) {
    return static_cast<int>(child_processes(pid).size());
}

}  // namespace

// A flood of announcements from 150 forged routers. Without a "*" line:
// 100 routers are noted as left alone, and the summary says that the
// others were left alone too. With one: 32 conversations at once, no more.
TEST(InstallServer, FleetFacesAFloodOfAnnouncements) {
    RelayedSegment segment(1, FaultPlan());
    ASSERT_TRUE(segment.ok) << "private network namespaces are needed (run as root)";
    ASSERT_TRUE(run_ip(segment.routers[0], {"link", "set", "cli0", "up"}) &&
                wait_until_running(segment.routers[0], "cli0"));
    Packages packages;
    FileFolder site;
    for (bool star : {false, true}) {
        SCOPED_TRACE(star ? "with a * line" : "without a * line");
        const std::string table = site.path + "/fleet.txt";
        write_file(table, star ? "* keep\n" : "02:00:00:00:77:77 keep\n");
        LabProcess tool, flood;
        ASSERT_TRUE(start_tool(tool, segment.server,
                               {"--interface", "srv0", "--fleet", table, "--packages",
                                packages.folder.path, "--seconds", "3"}));
        close(tool.input_fd);
        tool.input_fd = -1;
        ASSERT_TRUE(wait_for_output(tool, "Fleet of ", 10000));
        ASSERT_TRUE(start_in_namespace(flood, segment.routers[0], [] {
            Injector own_port;
            if (!open_injector(own_port, "cli0", INSTALL_PORT)) return 1;
            for (int round = 0; round < 8; ++round) {
                for (int i = 0; i < 150; ++i) {
                    uint8_t mac[MAC_LENGTH] = {2,
                                               0,
                                               0,
                                               0xCC,
                                               static_cast<uint8_t>(i >> 8),
                                               static_cast<uint8_t>(i & 0xff)};
                    inject(own_port, forged_announcement(mac, "f" + std::to_string(i) + "\n"));
                    usleep(3000);
                }
            }
            return 0;
        }));
        int most = 0;
        for (int waited = 0; waited < 60000 && !tool.ended; waited += 50) {
            most = std::max(most, children_of(tool.pid));
            wait_for_output(tool, "\x01", 50);
        }
        EXPECT_TRUE(finish_processes({&tool, &flood}, 60000));
        EXPECT_EQ(exit_code(tool), 1);
        const std::string& said = tool.output;
        EXPECT_FALSE(has_control_bytes(said));
        size_t offered = 0, rows = 0;
        for (size_t at = 0; (at = said.find("): offered\n", at)) != std::string::npos; ++at)
            ++offered;
        for (size_t at = 0; (at = said.find("\n02:00:00:CC:", at)) != std::string::npos; ++at)
            ++rows;
        if (star) {
            EXPECT_GT(most, 0);
            EXPECT_LE(most, 32);
            EXPECT_EQ(offered, 32u);
            EXPECT_NE(said.find("0 installed, 32 failed, 0 missing, 0 left alone\n"),
                      std::string::npos)
                << said;
            EXPECT_NE(said.find("No response from router"), std::string::npos);
        } else {
            EXPECT_EQ(offered, 0u);
            // One line as each was heard, one row of the summary.
            EXPECT_EQ(rows, 200u);
            EXPECT_NE(said.find("0 installed, 0 failed, 1 missing, 100 left alone\n" +
                                std::string(FLEET_CROWDED) + "\n"),
                      std::string::npos)
                << said;
        }
    }
}

// --netboot with --fleet: the boot image is served while the fleet is
// installed, and both end together once every listed router is done.
TEST(InstallServer, InstallsAFleetWhileServingTheBootImage) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    NetbootTree tree;
    Packages packages;
    FileFolder site, received;
    LabProcess router;
    ASSERT_TRUE(start_router(router, cable.client, "lab-router", received.path));
    write_file(site.path + "/fleet.txt", mac_option(CLIENT_MAC) + " address 10.0.0.2/24\n");
    std::string output;
    EXPECT_EQ(run_tool(cable.server,
                       {"--interface", "srv0", "--netboot", tree.folder.path, "--fleet",
                        site.path + "/fleet.txt", "--packages", packages.folder.path},
                       output),
              0)
        << output;
    EXPECT_TRUE(finish_processes({&router}, 20000));
    EXPECT_NE(output.find("Serving the network boot image " + tree.folder.path + " on srv0\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("02:00:00:00:02:01 (lab-router): done, "), std::string::npos) << output;
    EXPECT_NE(output.find("1 installed, 0 failed, 0 missing, 0 left alone\n"), std::string::npos);
    EXPECT_EQ(received.read("extra.vpk"), packages.folder.read("extra.vpk"));
    EXPECT_EQ(received.read("autorun.scr"), address_script("02:00:00:00:02:01", "10.0.0.2/24"));
    EXPECT_EQ(dnsmasq_serving(tree.folder.path), 0);
    EXPECT_EQ(run_in(cable.server, "ip -o -4 address show srv0"), "");
}

// brindlex-install-server in private namespaces, against the lab's routers
// (the client's whole side of the conversation).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "floppy/crc32.h"
#include "net_peer.h"
#include "netinstall/netinstall_test_support.h"
#include "package_builder.h"

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

// system, ppp (needs system), extra (needs ppp), of a few kilobytes each.
struct Packages {
    FileFolder folder, tree;
    Packages() {
        for (const char* name : {"system", "ppp", "extra"}) {
            std::string content = tree.path + "/" + name;
            mkdir(content.c_str(), 0755);
            FileFolder data;
            rename(data.make("payload.bin", 3000 + strlen(name)).c_str(),
                   (content + "/payload.bin").c_str());
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
    EXPECT_NE(output.find("usage: brindlex-install-server"), std::string::npos);
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

    // A router that never answers the offer.
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
    send_keys(tool, "\n");
    EXPECT_TRUE(finish_processes({&tool}, 10000));
    EXPECT_EQ(exit_code(tool), 1);
    finish_processes({&quiet}, 100);
}

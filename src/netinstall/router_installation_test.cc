#include "netinstall/router_installation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "floppy/crc32.h"
#include "net_peer.h"
#include "netinstall/netinstall_test_support.h"
#include "netinstall/router_selection.h"
#include "package_builder.h"
#include "packages/install_order.h"
#include "terminal_session.h"

namespace {

// A directory of real packages: system, ppp (needs system), extra (needs
// ppp); extra carries content_size bytes of content.
struct Packages {
    FileFolder folder, tree;
    explicit Packages(size_t content_size = 1000) {
        build("system.vpk", "system", {}, 3000, 1);
        build("ppp.vpk", "ppp", {"system"}, 1452, 2);
        build("extra.vpk", "extra", {"ppp"}, content_size, 3);
    }
    void build(const std::string& file, const std::string& name,
               const std::vector<std::string>& depends, size_t size, unsigned seed) {
        std::string content = tree.path + "/" + name;
        mkdir(content.c_str(), 0755);
        FileFolder data;
        rename(data.make("payload.bin", size, seed).c_str(), (content + "/payload.bin").c_str());
        PackageSource source;
        source.name = name;
        source.depends = depends;
        source.tree = content;
        std::string error;
        EXPECT_TRUE(build_package(source, folder.path + "/" + file, &error)) << error;
    }
    std::string crc(const std::string& file) const {
        std::string bytes = folder.read(file);
        char text[16];
        snprintf(text, sizeof text, "%08x", crc32_ieee(bytes.data(), bytes.size()));
        return text;
    }
    std::string received(const std::string& file) const {
        return "received " + file + ": " + std::to_string(folder.read(file).size()) +
               " bytes, crc " + crc(file) + "\n";
    }
};

// The server on a pseudo-terminal inside ns: the router list, then the
// installation of the chosen router with the packages wanted of directory.
int serve(const NetNamespace& ns, const std::string& directory,
          const std::vector<std::string>& wanted) {
    if (!enter_namespace(ns)) return 100;
    PackageList list;
    init_package_list(list, directory.c_str());
    if (!scan_packages(list, false)) return 101;
    for (const std::string& name : wanted)
        list.entries[find_package(list, name.c_str())].selected = true;
    RouterInstaller installer;
    open_router_installer(installer);
    if (select_router(installer)) {
        InstallOrder order;
        build_install_order(order, list);
        int64_t start = now_us();
        bool installed = install_router(installer, order);
        printf("\nresult %d after %lld ms\n", installed,
               static_cast<long long>((now_us() - start) / 1000));
        free_install_order(order);
    }
    close_router_installer(installer);
    return 0;
}

// A router of the lab (the client's whole side) on the cable.
bool start_router(LabProcess& router, const Cable& cable, const FileFolder& folder,
                  int prepare_ms) {
    PeerOptions options;
    options.label = "lab-router";
    options.prepare_ms = prepare_ms;
    options.folder = folder.path;
    return start_in_namespace(router, cable.client, [options] { return run_client_peer(options); });
}

long long milliseconds_after(const std::string& output) {
    size_t at = output.find(" after ");
    return at == std::string::npos ? -1 : atoll(output.c_str() + at + 7);
}

}  // namespace

// The operator answers the questions (address 10.0.0.2, the proposed 24
// bits, no gateway, the proposed 9600 baud); the router receives every
// package in installation order and the five-line script, while it
// prepares its disk the server repeats its acknowledgement every second,
// and a key on the server ends both sides.
TEST(RouterInstallation, AnsweredQuestionsGiveTheRouterItsPackagesAndScript) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    Packages packages;
    FileFolder received;
    WireSniffer wire;
    ASSERT_TRUE(start_sniffer(wire, cable.server, "srv0"));
    LabProcess router;
    ASSERT_TRUE(start_router(router, cable, received, 2500));
    std::string directory = packages.folder.path;
    TerminalSession s = run_on_terminal([&] { return serve(cable.server, directory, {"extra"}); },
                                        {{"Found 1 router: ", "\n"},
                                         {"Keep config? [y/n]:", "n"},
                                         {"Enter routers IP address: ", "10.0.0.2\n"},
                                         {"Enter routers netmask bit count: ", "\n"},
                                         {"Enter routers default gateway address: ", "0.0.0.0\n"},
                                         {"Enter serial console baud rate: ", "\n"},
                                         {"Press ENTER to reboot", "\n", {}, 60000}});
    EXPECT_TRUE(finish_processes({&router}, 20000));
    std::vector<WireDatagram> datagrams = protocol_datagrams(stop_sniffer(wire));
    ASSERT_EQ(s.error, "") << s.output;
    std::string tail = s.output.substr(s.output.find("\r\n\r\nSending offer..."));
    EXPECT_EQ(tail.substr(0, tail.find("\r\nresult")),
              "\r\n\r\nSending offer...\r\nFormating and partitioning harddisk...\r\n"
              "Transfering: system.vpk...\r\nTransfering: ppp.vpk...\r\n"
              "Transfering: extra.vpk...\r\nTransfering: configuration...\r\n"
              "\r\nSoftware installed.\r\nPress ENTER to reboot\r\n");
    EXPECT_NE(s.output.find("\r\nresult 1 after"), std::string::npos);
    const std::string script =
        ":local eth\n"
        ":set eth [/interface ethernet get [/interface ethernet find "
        "mac-address=02:00:00:00:02:01] name]\n"
        "/interface enable $eth\n"
        "/ip address add address=10.0.0.2/24 interface=$eth\n"
        "/port set [/port find] baud-rate=9600\n";
    EXPECT_EQ(received.read("autorun.scr"), script);
    char script_crc[16];
    snprintf(script_crc, sizeof script_crc, "%08x", crc32_ieee(script.data(), script.size()));
    std::string files = router.output.substr(router.output.find("keep: no\n\n") + 10);
    EXPECT_EQ(files.substr(0, files.find("\nSoftware installed.")),
              packages.received("system.vpk") + packages.received("ppp.vpk") +
                  packages.received("extra.vpk") + "received autorun.scr: " +
                  std::to_string(script.size()) + " bytes, crc " + script_crc + "\n");
    EXPECT_NE(router.output.find("resend ack: "), std::string::npos);
    EXPECT_NE(router.output.find("conversation closed\n"), std::string::npos);
    for (const char* file : {"system.vpk", "ppp.vpk", "extra.vpk"})
        EXPECT_TRUE(received.read(file) == packages.folder.read(file)) << file;

    // The acknowledgement of the acceptance, every second until the start.
    std::vector<WireDatagram> repeats;
    for (const WireDatagram& d : datagrams)
        if (from(d, SERVER_MAC) && is_ack(d) && d.header.seq == 2 && d.header.ack == 2)
            repeats.push_back(d);
    ASSERT_GE(repeats.size(), 3u);
    for (double gap : gaps_ms(repeats)) {
        EXPECT_GE(gap, 999);
        EXPECT_LE(gap, 1600);
    }
}

// Keep: no question is asked, the offer says "keep", the configuration file
// is sent with size 0. The package is 5 MB: the wall time of the remote
// installation is reported.
TEST(RouterInstallation, KeepAsksNothingAndSendsAnEmptyConfiguration) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    Packages packages(5 << 20);
    FileFolder received;
    LabProcess router;
    ASSERT_TRUE(start_router(router, cable, received, 0));
    std::string directory = packages.folder.path;
    TerminalSession s = run_on_terminal([&] { return serve(cable.server, directory, {"extra"}); },
                                        {{"Found 1 router: ", "\n"},
                                         {"Keep config? [y/n]:", "y"},
                                         {"Press ENTER to reboot", "\n", {}, 120000}});
    EXPECT_TRUE(finish_processes({&router}, 20000));
    ASSERT_EQ(s.error, "") << s.output;
    EXPECT_EQ(s.output.find("Enter routers"), std::string::npos);
    EXPECT_NE(s.output.find("\x1b[?25hKeep config? [y/n]:y\r\n\x1b[?25l\r\n\r\nSending offer..."),
              std::string::npos)
        << s.output;
    EXPECT_NE(s.output.find("Transfering: configuration...\r\n\r\nSoftware installed."),
              std::string::npos);
    EXPECT_NE(router.output.find("keep: yes\n"), std::string::npos);
    EXPECT_NE(router.output.find(packages.received("extra.vpk")), std::string::npos);
    // The empty configuration ends the files: no script is written.
    EXPECT_EQ(router.output.find("autorun.scr"), std::string::npos);
    EXPECT_TRUE(received.read("extra.vpk") == packages.folder.read("extra.vpk"));
    std::cout << "remote installation of "
              << packages.folder.read("extra.vpk").size() +
                     packages.folder.read("system.vpk").size() +
                     packages.folder.read("ppp.vpk").size()
              << " bytes: " << milliseconds_after(s.output) << " ms\n";
}

// A router that does not answer the offer, and one that answers with
// something else than an acceptance: each ends the installation after a
// key.
TEST(RouterInstallation, NoResponseOrABadResponseFromTheRouter) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    Packages packages;
    std::string directory = packages.folder.path;
    for (const std::string& reply : {std::string(""), std::string("NOPE")}) {
        LabProcess router;
        ASSERT_TRUE(start_in_namespace(
            router, cable.client, [reply] { return scripted_router("cli0", CLIENT_MAC, reply); }));
        ASSERT_TRUE(wait_for_output(router, "ready\n", 10000));
        std::string message = reply.empty() ? "No response from router (press any key)"
                                            : "Bad response from router (press any key)";
        TerminalSession s = run_on_terminal(
            [&] { return serve(cable.server, directory, {"system"}); },
            {{"Looking for routers", "", [&] { send_keys(router, "lab-router\n"); }},
             {"Found 1 router: ", "\n"},
             {"Keep config? [y/n]:", "y"},
             {message, "k", {}, 20000}});
        finish_processes({&router}, 500);
        ASSERT_EQ(s.error, "") << s.output;
        EXPECT_NE(s.output.find("Sending offer...\r\n" + message + "\r\n\r\nresult 0 after"),
                  std::string::npos)
            << s.output;
        long long took = milliseconds_after(s.output);
        if (reply.empty()) {
            EXPECT_GE(took, 10000);  // ten offers a second apart
            size_t offers = 0;
            for (size_t at = 0;
                 (at = router.output.find("offered keep\n", at)) != std::string::npos; ++at)
                ++offers;
            EXPECT_EQ(offers, 10u);
        } else {
            EXPECT_LT(took, 5000);
        }
    }
}

// A package that cannot be opened stops the installation before any of it
// is sent; the packages sent before it stay on the router. An order too
// big for one conversation is refused before the offer.
TEST(RouterInstallation, StopsBeforeWhatItCannotSend) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    Packages packages;
    std::string directory = packages.folder.path;
    FileFolder received;
    LabProcess router;
    ASSERT_TRUE(start_router(router, cable, received, 0));
    TerminalSession s = run_on_terminal([&] { return serve(cable.server, directory, {"extra"}); },
                                        {{"Found 1 router: ", "\n",
                                          // The catalogue has read ppp.vpk; now it is gone.
                                          [&] { unlink((directory + "/ppp.vpk").c_str()); }},
                                         {"Keep config? [y/n]:", "y"}});
    ASSERT_EQ(s.error, "") << s.output;
    EXPECT_NE(s.output.find("Transfering: system.vpk...\r\nFATAL ERROR: Open package "
                            "failed\r\n\r\nresult 0"),
              std::string::npos)
        << s.output;
    EXPECT_TRUE(wait_for_output(router, packages.received("system.vpk"), 5000));
    usleep(500000);
    finish_processes({&router}, 100);  // it would wait 30 s for another file
    EXPECT_EQ(router.output.find("ppp"), std::string::npos);
    EXPECT_EQ(router.output.find("extra"), std::string::npos);

    // 100 MB (sparse) need more than 65535 sequence numbers.
    ASSERT_EQ(truncate((directory + "/system.vpk").c_str(), 100 << 20), 0);
    packages.build("ppp.vpk", "ppp", {"system"}, 10, 2);
    LabProcess quiet;
    ASSERT_TRUE(start_in_namespace(quiet, cable.client,
                                   [] { return scripted_router("cli0", CLIENT_MAC); }));
    ASSERT_TRUE(wait_for_output(quiet, "ready\n", 10000));
    TerminalSession big =
        run_on_terminal([&] { return serve(cable.server, directory, {"extra"}); },
                        {{"Looking for routers", "", [&] { send_keys(quiet, "lab-router\n"); }},
                         {"Found 1 router: ", "\n"},
                         {"(press any key)", "k"}});
    finish_processes({&quiet}, 500);
    ASSERT_EQ(big.error, "") << big.output;
    EXPECT_NE(big.output.find("\r\n\r\nFATAL ERROR: Packages too large for one network "
                              "installation (press any key)\r\n\r\nresult 0"),
              std::string::npos)
        << big.output;
    EXPECT_EQ(big.output.find("Keep config?"), std::string::npos);
    EXPECT_EQ(quiet.output.find("offered"), std::string::npos);
}

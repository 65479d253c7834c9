// The router's side of the network installation against a server that
// does not play by the rules: offers from two servers at once, file
// headers with hostile names and sizes, blocks that say more or less than
// they hold, sequence numbers at the end of their range, acknowledgements
// from another machine, and a flood while the router waits.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "netinstall/client_conversation.h"
#include "netinstall/netinstall_test_support.h"
#include "netinstall/network_client.h"
#include "netinstall/received_files.h"
#include "netinstall/reliable_send.h"

namespace {

// A package unpacker that keeps what it is given: run N's input in
// ROOT/.unpacked/N.data.
const char RECORDING_UNPACKER[] =
    "#!/bin/sh\n"
    "n=0; while [ -e \"$2/.unpacked/$n.data\" ]; do n=$((n+1)); done\n"
    "cat > \"$2/.unpacked/$n.data\"\n";

// The router: the installer's network client from its announcements to the
// end of the files, without a disk, into root; then one line with what
// the start and the files gave, the time they took, the processor time
// and the memory the process used.
int probed_router(const std::string& root, const std::string& unpacker) {
    signal(SIGPIPE, SIG_IGN);
    InstallClient client;
    open_install_client(client);
    bool keep = false;
    wait_for_server(client, "probe", keep);
    int64_t start = now_us();
    bool started = request_start(client);
    FileDestination destination = {root.c_str(), unpacker.c_str()};
    bool received = started && receive_files(client, destination);
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    long cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    printf("result %d %d after %lld s, cpu %ld ms, rss %ld kB\n", started, received,
           static_cast<long long>((now_us() - start) / 1000000), cpu_ms, usage.ru_maxrss);
    fflush(stdout);
    close_install_client(client);
    return 0;
}

// A server made by hand on "srv0": its datagrams carry whatever MAC its
// link says, so one process plays two servers.
struct HandServer {
    NetEndpoint endpoint;
    LinkState link;
    uint8_t datagram[RECEIVE_BUFFER_SIZE];
    uint8_t reply[RECEIVE_BUFFER_SIZE];
    int yacks = 0;  // acceptances heard

    HandServer() { endpoint = open_or_exit("srv0", SERVER_MAC); }

    // Waits for the router's announcement; false after 10 s.
    bool heard() {
        int64_t end = now_us() + 10000000;
        while (now_us() < end) {
            int length = wait_datagram(endpoint, datagram, 1000000);
            if (length >= HEADER_SIZE && payload_begins_with(datagram, length, TAG_DISCOVERY))
                return true;
        }
        return false;
    }
    // The link of a server with mac that has just offered.
    void become(const uint8_t* mac) {
        init_link(link);
        memcpy(link.own_mac, mac, MAC_LENGTH);
        memcpy(link.peer_mac, CLIENT_MAC, MAC_LENGTH);
        link.recv_seq = 1;
    }
    void offer(const uint8_t* mac) {
        become(mac);
        send_datagram(endpoint, datagram, build_offer(link, datagram, false));
    }
    // Waits (timeout_us) for a datagram of the router's that begins with
    // tag, taken or not by the link (a repeat, say).
    bool heard_again(const char* tag, int64_t timeout_us) {
        int64_t end = now_us() + timeout_us;
        while (now_us() < end) {
            int length = wait_datagram(endpoint, datagram, end - now_us());
            if (length >= HEADER_SIZE && same_mac(datagram, CLIENT_MAC) &&
                payload_begins_with(datagram, length, tag))
                return true;
        }
        return false;
    }
    // Waits (timeout_us) for the router's acceptance to the current MAC.
    bool acceptance(int64_t timeout_us) {
        int length = wait_reply(endpoint, link, reply, timeout_us);
        if (length < 0 || !payload_begins_with(reply, length, TAG_ACCEPTANCE)) return false;
        ++yacks;
        return true;
    }
    // Acknowledges the acceptance until the start comes, and the start.
    bool started() {
        link.send_seq = 2;
        int length = build_acknowledgement(link, datagram);
        int answer = send_reliably(endpoint, link, datagram, length, reply, START_WAIT_US, 20);
        if (answer < 0 || !payload_begins_with(reply, answer, TAG_START)) return false;
        send_datagram(endpoint, datagram, build_acknowledgement(link, datagram));
        return true;
    }
    // Sends a file header (any text for size) under the next sequence
    // number; true when the router acknowledged it within a second.
    bool header(const std::string& name, const std::string& size) {
        return message(KIND_TEXT, "FILE\n" + name + "\n" + size + "\n");
    }
    bool block(const std::string& bytes) { return message(KIND_DATA, bytes); }
    bool message(uint8_t kind, const std::string& payload) {
        memcpy(datagram + HEADER_SIZE, payload.data(), payload.size());
        build_header(link, datagram, static_cast<int>(payload.size()), false, kind);
        int length = HEADER_SIZE + static_cast<int>(payload.size());
        bool answered = send_reliably(endpoint, link, datagram, length, reply, 1000000, 3) >= 0;
        if (answered) link.send_seq++;
        return answered;
    }
    // A whole file in blocks of at most MAX_BLOCK bytes.
    bool file(const std::string& name, const std::string& content) {
        if (!header(name, std::to_string(content.size()))) return false;
        for (size_t at = 0; at < content.size(); at += MAX_BLOCK)
            if (!block(content.substr(at, MAX_BLOCK))) return false;
        return true;
    }
    // Bytes as given, from this server's socket (the installation port).
    void raw(const std::vector<uint8_t>& bytes) {
        send_datagram(endpoint, bytes.data(), static_cast<int>(bytes.size()));
    }
};

const std::string SCRIPT = "/port set [/port find] baud-rate=9600\n";

// One router against one hand-made server on the test's cable.
struct Probe {
    FileFolder folder;
    std::string root = folder.path + "/root";
    std::string router_output, server_output;
    int result_started = -1, result_received = -1;
    long long seconds = -1;
    long cpu_ms = -1, rss_kb = -1;

    Probe(const Cable& cable, const std::function<int(HandServer&)>& serve, int router_ms = 20000) {
        mkdir(root.c_str(), 0755);
        mkdir((root + "/.unpacked").c_str(), 0755);
        std::string unpacker = folder.path + "/unpacker";
        FILE* f = fopen(unpacker.c_str(), "w");
        fputs(RECORDING_UNPACKER, f);
        fclose(f);
        chmod(unpacker.c_str(), 0755);
        LabProcess server, router;
        std::string into = root;
        bool ok = start_in_namespace(server, cable.server, [serve] {
            HandServer s;
            printf("ready\n");
            fflush(stdout);
            if (!s.heard()) return 50;
            return serve(s);
        });
        ok = ok && wait_for_output(server, "ready\n", 10000) &&
             start_in_namespace(router, cable.client,
                                [into, unpacker] { return probed_router(into, unpacker); });
        EXPECT_TRUE(ok);
        EXPECT_TRUE(finish_processes({&router}, router_ms)) << "the router did not end";
        finish_processes({&server}, 3000);
        router_output = router.output;
        server_output = server.output;
        EXPECT_EQ(exit_code(server), 0) << server_output;
        size_t at = router_output.find("result ");
        if (at != std::string::npos)
            sscanf(router_output.c_str() + at, "result %d %d after %lld s, cpu %ld ms, rss %ld kB",
                   &result_started, &result_received, &seconds, &cpu_ms, &rss_kb);
        EXPECT_FALSE(has_control_bytes(router_output)) << router_output;
        // Nothing is written beside the root.
        EXPECT_EQ(listing(folder.path), "root unpacker ");
    }
    static std::string listing(const std::string& path) {
        std::string command = "cd '" + path + "' && ls -A | tr '\\n' ' '";
        FILE* p = popen(command.c_str(), "r");
        char text[4096] = {};
        size_t n = fread(text, 1, sizeof text - 1, p);
        pclose(p);
        return std::string(text, n);
    }
    std::string unpacked(int run) const {
        return folder.read("root/.unpacked/" + std::to_string(run) + ".data");
    }
    std::string in_root() const { return listing(root); }
};

const uint8_t ZERO_MAC[MAC_LENGTH] = {};

}  // namespace

// Each case plays one conversation on the same cable; the router must keep
// its timeouts, its memory and processor time small, print no control byte
// that came from the wire, write nothing outside its root, and say that it
// succeeded only when every file the server finished arrived whole.
TEST(HostileServer, RouterTakesOnlyWhatArrivedWhole) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    const std::string first = byte_pattern(3000, 1), second = byte_pattern(100, 2);
    long clean_rss_kb = 0;

    {
        SCOPED_TRACE("two servers offer at once; the other one's acknowledgement and file");
        Probe p(cable, [&](HandServer& s) {
            s.offer(SERVER_MAC_2);
            s.offer(SERVER_MAC);
            // The router answers the first offer it read.
            s.become(SERVER_MAC_2);
            if (!s.acceptance(3000000)) return 1;
            // The other server acknowledges that acceptance: not the
            // router's peer, so the acceptance goes again.
            s.raw(forged_datagram(SERVER_MAC, CLIENT_MAC, ACK_FLAG, KIND_TEXT, 2, 2, ""));
            if (!s.heard_again(TAG_ACCEPTANCE, 3000000)) return 2;
            printf("acceptance repeated\n");
            if (!s.started()) return 3;
            // The other server's header on the chosen one's number.
            s.raw(forged_datagram(SERVER_MAC, CLIENT_MAC, 0, KIND_TEXT, s.link.send_seq, 0,
                                  "FILE\nevil.vpk\n5\n"));
            return s.file("good.vpk", first) && s.file("autorun.scr", SCRIPT) ? 0 : 4;
        });
        EXPECT_EQ(p.server_output, "ready\nacceptance repeated\n");
        clean_rss_kb = p.rss_kb;
        EXPECT_NE(p.router_output.find("Found server at 02:00:00:00:01:02\n"), std::string::npos)
            << p.router_output;
        EXPECT_EQ(p.result_received, 1) << p.router_output;
        EXPECT_TRUE(p.unpacked(0) == first);
        EXPECT_EQ(p.unpacked(1), "<missing>");
        EXPECT_EQ(p.folder.read("root/autorun.scr"), SCRIPT);
    }
    {
        SCOPED_TRACE("names with escapes, a path, 8-bit bytes; blocks that say more or less");
        Probe p(cable, [&](HandServer& s) {
            s.offer(SERVER_MAC);
            if (!s.acceptance(3000000) || !s.started()) return 1;
            if (!s.file("\x1b[2J\r\a\xe9.vpk", first)) return 2;
            if (!s.file("../../outside", second)) return 3;
            // Ten bytes announced, a whole block sent: ten bytes taken.
            if (!s.header("short.vpk", "10") || !s.block(byte_pattern(MAX_BLOCK, 3))) return 4;
            // A block whose length field lies, either way, is no block.
            if (!s.header("lying.vpk", "6")) return 5;
            uint16_t seq = s.link.send_seq;
            s.raw(forged_datagram(SERVER_MAC, CLIENT_MAC, 0, KIND_DATA, seq, 0, "abcdef", 1));
            s.raw(forged_datagram(SERVER_MAC, CLIENT_MAC, 0, KIND_DATA, seq, 0, "abcdef", -1));
            // Cut to the receive buffer it would look whole.
            std::vector<uint8_t> beyond = forged_datagram(SERVER_MAC, CLIENT_MAC, 0, KIND_DATA, seq,
                                                          0, std::string(4096 - HEADER_SIZE, 'y'));
            beyond.resize(5000, 'x');
            s.raw(beyond);
            if (!s.block("abcdef")) return 6;
            return s.file("x\x1b]0;t\a.scr", SCRIPT) ? 0 : 7;
        });
        EXPECT_EQ(p.result_received, 1) << p.router_output;
        EXPECT_TRUE(p.unpacked(0) == first);
        EXPECT_TRUE(p.unpacked(1) == second);
        EXPECT_TRUE(p.unpacked(2) == byte_pattern(MAX_BLOCK, 3).substr(0, 10));
        EXPECT_EQ(p.unpacked(3), "abcdef");
        EXPECT_EQ(p.folder.read("root/x\x1b]0;t\a.scr"), SCRIPT);
    }
    {
        SCOPED_TRACE("sizes: negative, not a number, beyond an int; then zero");
        for (const char* size : {"-5", "12ab", "99999999999", ""}) {
            Probe p(cable, [&](HandServer& s) {
                s.offer(SERVER_MAC);
                if (!s.acceptance(3000000) || !s.started()) return 1;
                if (!s.file("base.vpk", first)) return 2;
                // The router answers a header it cannot read with TERM
                // (taken as the reply), which is acknowledged.
                if (s.header("bad.vpk", size) &&
                    payload_begins_with(s.reply, HEADER_SIZE + 4, TAG_TERMINATION))
                    printf("TERM\n");
                s.raw(std::vector<uint8_t>(s.datagram,
                                           s.datagram + build_acknowledgement(s.link, s.datagram)));
                return 0;
            });
            EXPECT_TRUE(p.unpacked(0) == first) << size;
            EXPECT_EQ(p.unpacked(1), "<missing>") << size;
            EXPECT_EQ(p.server_output, "ready\nTERM\n") << size;
            // No further file header: the router ends with what it has.
            EXPECT_EQ(p.result_received, 1) << size;
            EXPECT_LT(p.seconds, 3) << size;
        }
        Probe zero(cable, [&](HandServer& s) {
            s.offer(SERVER_MAC);
            if (!s.acceptance(3000000) || !s.started()) return 1;
            return s.header("empty.vpk", "0") ? 0 : 2;
        });
        EXPECT_EQ(zero.unpacked(0), "<missing>");
        EXPECT_EQ(zero.in_root(), ".unpacked ");
    }
    {
        SCOPED_TRACE("sequence numbers 65534, 65535 and 0 out of turn");
        Probe p(cable, [&](HandServer& s) {
            s.offer(SERVER_MAC);
            if (!s.acceptance(3000000) || !s.started()) return 1;
            for (int seq : {65534, 65535, 0})
                s.raw(forged_datagram(SERVER_MAC, CLIENT_MAC, 0, KIND_TEXT,
                                      static_cast<uint16_t>(seq), 0, "FILE\nwrapped.vpk\n3\n"));
            return s.file("base.vpk", first) && s.file("autorun.scr", SCRIPT) ? 0 : 2;
        });
        EXPECT_EQ(p.result_received, 1) << p.router_output;
        EXPECT_TRUE(p.unpacked(0) == first);
        EXPECT_EQ(p.unpacked(1), "<missing>");
    }
    {
        SCOPED_TRACE("a flood while the router waits for a block that never comes");
        Probe p(
            cable,
            [&](HandServer& s) {
                s.offer(SERVER_MAC);
                if (!s.acceptance(3000000) || !s.started()) return 1;
                if (!s.header("base.vpk", std::to_string(first.size())) ||
                    !s.block(first.substr(0, MAX_BLOCK)))
                    return 2;
                Injector other_port;
                if (!open_injector(other_port, "srv0", INSTALL_PORT + 1)) return 3;
                // 100,000 datagrams in about 10 s: junk, blocks out of turn
                // from the server, acknowledgements from another MAC and
                // from nobody, some from another port.
                std::vector<std::vector<uint8_t>> kinds = {
                    std::vector<uint8_t>(64, 0xEE),
                    forged_datagram(SERVER_MAC, CLIENT_MAC, 0, KIND_DATA, 9, 0, "zz"),
                    forged_datagram(SERVER_MAC_2, CLIENT_MAC, ACK_FLAG, KIND_TEXT, 3, 4, ""),
                    forged_datagram(ZERO_MAC, ZERO_MAC, 0, KIND_DATA, 4, 0, "zz"),
                };
                for (int i = 0; i < 100000; ++i) {
                    const std::vector<uint8_t>& d = kinds[static_cast<size_t>(i) % kinds.size()];
                    if (i % 5 == 4)
                        inject(other_port, d);
                    else
                        s.raw(d);
                    if (i % 100 == 0) usleep(10000);
                }
                return 0;
            },
            60000);
        EXPECT_EQ(p.result_received, 0) << p.router_output;
        EXPECT_NE(p.router_output.find("\nFATAL ERROR: bad network connection\n"),
                  std::string::npos)
            << p.router_output;
        // Its 30 s without a block, not more for the flood.
        EXPECT_GE(p.seconds, 29);
        EXPECT_LE(p.seconds, 33);
        EXPECT_LT(p.cpu_ms, 10000);
        EXPECT_LT(p.rss_kb, clean_rss_kb + 4096) << "clean " << clean_rss_kb;
    }
}

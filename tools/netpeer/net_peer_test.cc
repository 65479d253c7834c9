#include "net_peer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "floppy/crc32.h"
#include "netinstall/netinstall_test_support.h"

namespace {

std::string crc_of(const std::string& bytes) {
    char text[16];
    snprintf(text, sizeof text, "%08x", crc32_ieee(bytes.data(), bytes.size()));
    return text;
}

// One line per datagram: who, what, seq, ack (with the ack flag).
std::string describe(const WireDatagram& d) {
    std::string who = from(d, SERVER_MAC) ? "S" : "C";
    std::string what = is_ack(d)                    ? "ack"
                       : d.header.kind == KIND_DATA ? "data"
                                                    : d.payload.substr(0, 4);
    std::string text = who + " " + what + " " + std::to_string(d.header.seq);
    if (d.header.flags & ACK_FLAG) text += "/" + std::to_string(d.header.ack);
    return text;
}

}  // namespace

// A whole conversation between the lab's two peers on one cable: the
// announcements, the offer, the acceptance, the server's acknowledgement
// repeated every second while the router prepares its disk, the start, two
// packages and the configuration, and the closing exchange after a key on
// the server. Every datagram carries the numbers the protocol prescribes.
TEST(NetPeer, WholeConversationOnOneCable) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    FileFolder sent, received;
    std::string first = sent.make("base.vpk", 3000, 1);
    std::string second = sent.make("extra.vpk", 1452, 2);
    WireSniffer wire;
    ASSERT_TRUE(start_sniffer(wire, cable.server, "srv0"));

    LabProcess server;
    PeerOptions serving;
    serving.files = {first, second};
    serving.script = "/port set [/port find] baud-rate=9600\n";
    serving.listen_seconds = 20;
    ASSERT_TRUE(
        start_in_namespace(server, cable.server, [serving] { return run_server_peer(serving); }));
    ASSERT_TRUE(wait_for_output(server, "Looking for routers on 1 interface...\n", 10000));
    LabProcess client;
    PeerOptions router;
    router.label = "lab-router";
    router.prepare_ms = 2500;
    router.folder = received.path;
    ASSERT_TRUE(
        start_in_namespace(client, cable.client, [router] { return run_client_peer(router); }));
    ASSERT_TRUE(wait_for_output(server, "Press ENTER to reboot\n", 30000));
    send_keys(server, "\n");
    EXPECT_TRUE(finish_processes({&server, &client}, 30000));
    std::vector<WireDatagram> datagrams = protocol_datagrams(stop_sniffer(wire));

    EXPECT_EQ(server.output,
              "Looking for routers on 1 interface...\n"
              "router 02:00:00:00:02:01 (lab-router)\n"
              "on the interface 02:00:00:00:01:01\n"
              "\n\nSending offer...\n"
              "Formating and partitioning harddisk...\n"
              "Transfering: base.vpk...\n"
              "Transfering: extra.vpk...\n"
              "Transfering: configuration...\n"
              "\nSoftware installed.\nPress ENTER to reboot\n"
              "conversation closed\n");
    EXPECT_EQ(client.output,
              "\nmac-address: 02:00:00:00:02:01\ndisk label: lab-router\n"
              "\nWaiting for installation server...\n"
              "Found server at 02:00:00:00:01:01\nkeep: no\n\n"
              "received base.vpk: 3000 bytes, crc " +
                  crc_of(sent.read("base.vpk")) +
                  "\n"
                  "received extra.vpk: 1452 bytes, crc " +
                  crc_of(sent.read("extra.vpk")) +
                  "\n"
                  "received autorun.scr: " +
                  std::to_string(serving.script.size()) + " bytes, crc " + crc_of(serving.script) +
                  "\n"
                  "\nSoftware installed.\nPress ENTER to reboot\n"
                  "resend ack: 10\nconversation closed\n");
    EXPECT_TRUE(sent.read("base.vpk") == received.read("base.vpk"));
    EXPECT_TRUE(sent.read("extra.vpk") == received.read("extra.vpk"));
    EXPECT_EQ(received.read("autorun.scr"), serving.script);

    // The numbers: the first datagrams of each kind in order, repeats of
    // the server's acknowledgement folded into one line.
    std::vector<std::string> lines;
    int repeated_acks = 0;
    for (const WireDatagram& d : datagrams) {
        std::string line = describe(d);
        if (line == "S ack 2/2") ++repeated_acks;
        if (line == "C DSCV 1" && !lines.empty()) continue;  // later announcements
        if (lines.empty() || lines.back() != line) lines.push_back(line);
    }
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "C DSCV 1", "S OFFR 1/1", "C YACK 2/1", "S ack 2/2", "C STRT 3",  "S ack 2/3",
                  "S FILE 2", "C ack 4/2",  "S data 3",   "C ack 4/3", "S data 4",  "C ack 4/4",
                  "S data 5", "C ack 4/5",  "S FILE 6",   "C ack 4/6", "S data 7",  "C ack 4/7",
                  "S FILE 8", "C ack 4/8",  "S data 9",   "C ack 4/9", "S TERM 10", "C ack 4/10"}));
    // Once at once, then every second while the router prepares its disk.
    EXPECT_GE(repeated_acks, 3);
    EXPECT_LE(repeated_acks, 5);
}

namespace {

// The lab's two peers through a relay with faults: the server sends
// base.vpk (3000 bytes: FILE 2, data 3 to 5), extra.vpk (1452: FILE 6,
// data 7) and the script (FILE 8, data 9); the router acknowledges with
// seq 4. Ends when both have ended (or 60 s).
struct RelayedInstallation {
    FileFolder sent, received;
    std::string script = "/ip route add gateway=10.0.0.1\n";
    LabProcess server, client;
    bool started = false;

    explicit RelayedInstallation(RelayedCable& cable) {
        std::string first = sent.make("base.vpk", 3000, 1);
        std::string second = sent.make("extra.vpk", 1452, 2);
        PeerOptions serving;
        serving.files = {first, second};
        serving.script = script;
        serving.listen_seconds = 20;
        PeerOptions router;
        router.label = "lab-router";
        router.prepare_ms = 200;
        router.folder = received.path;
        started =
            cable.ok &&
            start_in_namespace(server, cable.server,
                               [serving] { return run_server_peer(serving); }) &&
            wait_for_output(server, "Looking for routers on 1 interface...\n", 10000) &&
            start_in_namespace(client, cable.client, [router] { return run_client_peer(router); });
    }
    // Every file arrived byte for byte.
    bool whole() const {
        return received.read("base.vpk") == sent.read("base.vpk") &&
               received.read("extra.vpk") == sent.read("extra.vpk") &&
               received.read("autorun.scr") == script;
    }
};

const char SERVER_END[] =
    "Transfering: configuration...\n\nSoftware installed.\nPress ENTER to reboot\n";

}  // namespace

// The router's acknowledgement of the last block is lost. Once: the
// server's repeat reaches the router in its closing exchange, which
// acknowledges it again, and the server ends as usual with its operator's
// key. Every time: the router's operator presses a key, and the router's
// "TERM" that answers the server's repeated block ends the server's side
// too, acknowledged, without a key and without a timeout.
TEST(NetPeer, LostAcknowledgementOfTheLastBlock) {
    for (bool every_time : {false, true}) {
        SCOPED_TRACE(every_time ? "every acknowledgement of block 9 lost" : "the first one lost");
        FaultPlan faults;
        for (uint64_t n = 1; n <= (every_time ? 40 : 1); ++n)
            faults.drop_frames.push_back(acknowledgement_frame(1, n, 4, 9));
        RelayedCable cable(faults);
        ASSERT_TRUE(cable.ok) << "private network namespaces and tap devices are needed (root)";
        RelayedInstallation run(cable);
        ASSERT_TRUE(run.started);
        if (every_time) {
            ASSERT_TRUE(wait_for_output(run.client, "Press ENTER to reboot\n", 30000))
                << run.client.output;
            send_keys(run.client, "\n");
        } else {
            ASSERT_TRUE(wait_for_output(run.server, SERVER_END, 30000)) << run.server.output;
            send_keys(run.server, "\n");
        }
        EXPECT_TRUE(finish_processes({&run.server, &run.client}, 20000));
        cable.finish();
        EXPECT_EQ(exit_code(run.server), 0) << run.server.output;
        EXPECT_EQ(exit_code(run.client), 0) << run.client.output;
        EXPECT_TRUE(run.whole());
        std::string tail = std::string(SERVER_END) + "conversation closed\n";
        EXPECT_EQ(run.server.output.substr(run.server.output.size() -
                                           std::min(run.server.output.size(), tail.size())),
                  tail)
            << run.server.output;
        EXPECT_EQ(run.server.output.find("FATAL"), std::string::npos) << run.server.output;
        // Only a "TERM" from the server makes the router say "resend ack".
        EXPECT_EQ(run.client.output.find("resend ack"),
                  every_time ? std::string::npos : run.client.output.find("resend ack: 10\n"))
            << run.client.output;
        EXPECT_GE(cable.relay.counters.dropped, 1u);
    }
}

// The server's one acknowledgement of the start is lost, and the first
// file header answers the start instead: the router keeps that header and
// acknowledges it as a header that has just come, so every package and the
// script arrive whole and both sides end as usual. Once alone, and once
// with the router's acknowledgement of the last block lost as well.
TEST(NetPeer, LostAcknowledgementOfTheStart) {
    for (bool last_block_too : {false, true}) {
        SCOPED_TRACE(last_block_too ? "and the acknowledgement of block 9" : "alone");
        FaultPlan faults;
        faults.drop_frames.push_back(acknowledgement_frame(0, 1, 2, 3));
        if (last_block_too) faults.drop_frames.push_back(acknowledgement_frame(1, 1, 4, 9));
        RelayedCable cable(faults);
        ASSERT_TRUE(cable.ok) << "private network namespaces and tap devices are needed (root)";
        RelayedInstallation run(cable);
        ASSERT_TRUE(run.started);
        ASSERT_TRUE(wait_for_output(run.server, SERVER_END, 30000)) << run.server.output;
        send_keys(run.server, "\n");
        EXPECT_TRUE(finish_processes({&run.server, &run.client}, 20000));
        cable.finish();
        EXPECT_EQ(cable.relay.counters.dropped, last_block_too ? 2u : 1u);
        EXPECT_EQ(exit_code(run.server), 0) << run.server.output;
        EXPECT_EQ(exit_code(run.client), 0) << run.client.output;
        EXPECT_TRUE(run.whole());
        EXPECT_NE(run.client.output.find("received base.vpk: 3000 bytes"), std::string::npos)
            << run.client.output;
        EXPECT_EQ(run.server.output.find("FATAL"), std::string::npos) << run.server.output;
        EXPECT_EQ(run.client.output.find("FATAL"), std::string::npos) << run.client.output;
        std::string tail = std::string(SERVER_END) + "conversation closed\n";
        EXPECT_EQ(run.server.output.substr(run.server.output.size() -
                                           std::min(run.server.output.size(), tail.size())),
                  tail);
        EXPECT_NE(run.client.output.find("resend ack: 10\nconversation closed\n"),
                  std::string::npos)
            << run.client.output;
    }
}

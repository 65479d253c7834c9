#include "netinstall/file_receiver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "netinstall/client_conversation.h"
#include "netinstall/file_sender.h"
#include "netinstall/netinstall_test_support.h"
#include "netinstall/protocol_messages.h"
#include "netinstall/reliable_send.h"

namespace {

// A client whose conversation has started (see started_links).
struct StartedClient {
    InstallClient client;
    NetEndpoint endpoint;
    StartedClient() {
        LinkState server_side;
        started_links(server_side, client.link);
        endpoint = open_or_exit("cli0", CLIENT_MAC);
        client.server_endpoint = &endpoint;
        create_file_receiver(client);
    }
    ~StartedClient() { close_install_client(client); }
};

// The server end of a started conversation that sends hand-made datagrams.
struct ScriptedServer {
    NetEndpoint endpoint;
    LinkState link, unused;
    uint8_t datagram[MAX_DATAGRAM];
    uint8_t reply[RECEIVE_BUFFER_SIZE];
    ScriptedServer() {
        endpoint = open_or_exit("srv0", SERVER_MAC);
        started_links(link, unused);
    }
    // Sends payload with sequence number seq and kind; true when it was
    // acknowledged within a second.
    bool send(uint16_t seq, uint8_t kind, const std::string& payload) {
        link.send_seq = seq;
        memcpy(datagram + HEADER_SIZE, payload.data(), payload.size());
        build_header(link, datagram, static_cast<int>(payload.size()), false, kind);
        int length = HEADER_SIZE + static_cast<int>(payload.size());
        return send_datagram(endpoint, datagram, length) == length &&
               wait_reply(endpoint, link, reply, 1000000) >= 0;
    }
};

}  // namespace

// The client's acknowledgement of block 3 is lost in the relay: the server
// repeats the block 20 ms later, the client acknowledges the repeat and
// delivers its bytes once.
TEST(FileReceiver, LostAcknowledgementIsRepeatedAndTheBlockDeliveredOnce) {
    FaultPlan faults;
    // The client's frames: the acknowledgements of the header, blocks 1, 2, 3.
    faults.drop_frames = {{1, 4}};
    RelayedCable cable(faults);
    ASSERT_TRUE(cable.ok) << "private network namespaces and tap devices are needed (run as root)";
    FileFolder sent;
    std::string path = sent.make("five.vpk", 5000);
    std::string expected = sent.read("five.vpk");
    WireSniffer wire;
    ASSERT_TRUE(start_sniffer(wire, cable.server, "srv0"));
    LabProcess client;
    ASSERT_TRUE(start_in_namespace(client, cable.client, [expected] {
        StartedClient started;
        printf("ready\n");
        fflush(stdout);
        char name[NEXT_FILE_NAME_SIZE];
        int size = 0;
        if (!next_file(started.client, name, size)) return 1;
        std::string data;
        uint8_t buffer[4096];
        int n;
        while ((n = receive_file_data(*started.client.receiver, buffer, 1000)) > 0)
            data.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
        printf("%s %d: %zu bytes %s\n", name, size, data.size(),
               data == expected ? "intact" : "DIFFERENT");
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(client, "ready\n", 10000));
    LabProcess server;
    ASSERT_TRUE(start_in_namespace(server, cable.server, [path] { return send_one_file(path); }));
    EXPECT_TRUE(finish_processes({&client, &server}, 30000));
    std::vector<WireDatagram> datagrams = protocol_datagrams(stop_sniffer(wire));
    EXPECT_EQ(exit_code(server), 0) << server.output;
    EXPECT_EQ(client.output, "ready\nfive.vpk 5000: 5000 bytes intact\n");
    std::vector<WireDatagram> block3, acks3;
    for (const WireDatagram& d : datagrams) {
        if (from(d, SERVER_MAC) && d.header.seq == 5) block3.push_back(d);
        if (from(d, CLIENT_MAC) && is_ack(d) && d.header.ack == 5) acks3.push_back(d);
    }
    ASSERT_EQ(block3.size(), 2u);
    double gap = gaps_ms(block3)[0];
    EXPECT_GE(gap, 19);
    EXPECT_LE(gap, 600);
    EXPECT_EQ(block3[1].payload, block3[0].payload);
    // Only the second acknowledgement reached the server.
    EXPECT_EQ(acks3.size(), 1u);
}

// Empty blocks are acknowledged and skipped (taking no sequence number), a
// block never delivers more than the header announced, a late bare
// acknowledgement from the server is no block, a repeated header
// is acknowledged again, a long name is cut to 31 characters, and a
// message that is no file header ends the files with "TERM".
TEST(FileReceiver, TakesOnlyWhatTheHeaderAnnounced) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    WireSniffer wire;
    ASSERT_TRUE(start_sniffer(wire, cable.server, "srv0"));
    LabProcess client;
    ASSERT_TRUE(start_in_namespace(client, cable.client, [] {
        StartedClient started;
        printf("ready\n");
        fflush(stdout);
        char name[NEXT_FILE_NAME_SIZE];
        int size = 0;
        printf("next_file %d\n", next_file(started.client, name, size));
        printf("name %s size %d\n", name, size);
        uint8_t buffer[4096];
        int first = receive_file_data(*started.client.receiver, buffer, sizeof buffer);
        int second = receive_file_data(*started.client.receiver, buffer + 100, sizeof buffer);
        printf("data %d '%.*s' then %d\n", first, first > 0 ? first : 0, buffer, second);
        printf("next_file %d\n", next_file(started.client, name, size));
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(client, "ready\n", 10000));
    LabProcess server;
    ASSERT_TRUE(start_in_namespace(server, cable.server, [] {
        ScriptedServer s;
        std::string long_name = "a-package-with-a-name-of-forty-chars.vpk";
        printf("header %d\n", s.send(2, KIND_TEXT, "FILE\n" + long_name + "\n3\n"));
        printf("header again %d\n", s.send(2, KIND_TEXT, "FILE\n" + long_name + "\n3\n"));
        // A late repeat of the server's acknowledgement of the start
        // (the network doubled it) is passed over.
        s.link.send_seq = 2;
        send_datagram(s.endpoint, s.datagram, build_acknowledgement(s.link, s.datagram));
        // An empty block is acknowledged as a bare datagram: ack 2 again.
        printf("empty block %d\n", s.send(3, KIND_DATA, ""));
        printf("long block %d\n", s.send(3, KIND_DATA, "abcdef"));
        // No file header: the client answers with TERM.
        s.link.send_seq = 4;
        int length = build_message(s.link, s.datagram, "DATA", false, false);
        send_datagram(s.endpoint, s.datagram, length);
        length = wait_reply(s.endpoint, s.link, s.reply, 3000000);
        printf("then %.4s\n",
               length > HEADER_SIZE ? reinterpret_cast<char*>(s.reply + HEADER_SIZE) : "nothing");
        send_datagram(s.endpoint, s.datagram, build_acknowledgement(s.link, s.datagram));
        return 0;
    }));
    EXPECT_TRUE(finish_processes({&client, &server}, 30000));
    std::vector<WireDatagram> datagrams = protocol_datagrams(stop_sniffer(wire));
    EXPECT_EQ(server.output, "header 1\nheader again 1\nempty block 0\nlong block 1\nthen TERM\n");
    EXPECT_EQ(client.output,
              "ready\nnext_file 1\nname a-package-with-a-name-of-forty- size 3\n"
              "data 3 'abc' then 0\nnext_file 0\n");
    int acks_of_header = 0;
    for (const WireDatagram& d : datagrams)
        if (from(d, CLIENT_MAC) && is_ack(d) && d.header.ack == 2) ++acks_of_header;
    // The header's, the repeat's and the empty block's.
    EXPECT_EQ(acks_of_header, 3);
}

// With a silent server the client gives up after 30 s: waiting for a file
// header (it then sends "TERM" five times, a second apart), and waiting for
// the next block of a file.
TEST(FileReceiver, GivesUpAfterThirtySecondsOfSilence) {
    Cable header_cable, block_cable;
    ASSERT_TRUE(header_cable.ok && block_cable.ok)
        << "private network namespaces are needed (run as root)";
    // The silent server's card is up: the cable carries what the client sends.
    ASSERT_TRUE(run_ip(header_cable.server, {"link", "set", "srv0", "up"}));
    WireSniffer wire;
    ASSERT_TRUE(start_sniffer(wire, header_cable.client, "cli0"));
    LabProcess header_wait;
    ASSERT_TRUE(start_in_namespace(header_wait, header_cable.client, [] {
        StartedClient started;
        char name[NEXT_FILE_NAME_SIZE];
        int size = 0;
        int64_t start = now_us();
        bool got = next_file(started.client, name, size);
        int64_t took = now_us() - start;
        // 30 s of waiting, then five unanswered TERMs of 1 s.
        printf("next_file %d after %s\n", got,
               took > 35000000 && took < 40000000 ? "30 + 5 s" : std::to_string(took).c_str());
        return 0;
    }));
    LabProcess block_wait;
    ASSERT_TRUE(start_in_namespace(block_wait, block_cable.client, [] {
        StartedClient started;
        printf("ready\n");
        fflush(stdout);
        char name[NEXT_FILE_NAME_SIZE];
        int size = 0;
        if (!next_file(started.client, name, size)) return 1;
        uint8_t buffer[4096];
        int64_t start = now_us();
        int got = receive_file_data(*started.client.receiver, buffer, sizeof buffer);
        int64_t took = now_us() - start;
        printf("receive_file_data %d after %s\n", got,
               took > 30000000 && took < 34000000 ? "30 s" : std::to_string(took).c_str());
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(block_wait, "ready\n", 10000));
    LabProcess block_server;
    ASSERT_TRUE(start_in_namespace(block_server, block_cable.server, [] {
        ScriptedServer s;
        // A header and one block of a file of 3000 bytes, then silence.
        bool header = s.send(2, KIND_TEXT, "FILE\nslow.vpk\n3000\n");
        bool block = s.send(3, KIND_DATA, std::string(1452, 'b'));
        return header && block ? 0 : 1;
    }));
    EXPECT_TRUE(finish_processes({&header_wait, &block_wait, &block_server}, 60000));
    std::vector<WireDatagram> datagrams = protocol_datagrams(stop_sniffer(wire));
    EXPECT_EQ(header_wait.output, "next_file 0 after 30 + 5 s\n");
    EXPECT_EQ(block_wait.output, "ready\nreceive_file_data -1 after 30 s\n");
    EXPECT_EQ(exit_code(block_server), 0);
    std::vector<WireDatagram> terms;
    for (const WireDatagram& d : datagrams)
        if (from(d, CLIENT_MAC) && tagged(d, TAG_TERMINATION)) terms.push_back(d);
    ASSERT_EQ(terms.size(), 5u);
    for (double gap : gaps_ms(terms)) {
        EXPECT_GE(gap, 999);
        EXPECT_LE(gap, 1600);
    }
    EXPECT_EQ(terms[0].header.seq, 4);
    EXPECT_EQ(terms[0].header.flags, 0);
}

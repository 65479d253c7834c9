#include "netinstall/closing_exchange.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "netinstall/netinstall_test_support.h"
#include "netinstall/protocol_messages.h"
#include "netinstall/reliable_send.h"

namespace {

// The links after the last file: the server's next number is 11, the
// client has accepted 10.
void links_after_files(LinkState& server, LinkState& client) {
    started_links(server, client);
    server.send_seq = 11;
    client.recv_seq = 10;
}

// What is left unread on standard input.
std::string unread_keys() {
    fcntl(0, F_SETFL, O_NONBLOCK);
    char keys[16];
    ssize_t n = read(0, keys, sizeof keys);
    return n > 0 ? std::string(keys, static_cast<size_t>(n)) : "none";
}

struct Ends {
    Cable cable;
    WireSniffer wire;
    LabProcess server, client;
};

void start_both(Ends& ends, bool server_notes_first) {
    ASSERT_TRUE(ends.cable.ok) << "private network namespaces are needed (run as root)";
    ASSERT_TRUE(start_sniffer(ends.wire, ends.cable.server, "srv0"));
    ASSERT_TRUE(start_in_namespace(ends.client, ends.cable.client, [] {
        NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
        LinkState server_side, link;
        links_after_files(server_side, link);
        printf("ready\n");
        fflush(stdout);
        wait_for_end(endpoint, link, ConversationSide::client);
        printf("client ended, keys left: %s\n", unread_keys().c_str());
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(ends.client, "ready\n", 10000));
    ASSERT_TRUE(start_in_namespace(ends.server, ends.cable.server, [server_notes_first] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        LinkState link, client_side;
        links_after_files(link, client_side);
        if (server_notes_first) {
            // A message with content during the exchange is acknowledged.
            uint8_t note[MAX_DATAGRAM], reply[RECEIVE_BUFFER_SIZE];
            int length = build_message(link, note, "NOTE", false, false);
            printf("note answered %d\n",
                   send_reliably(endpoint, link, note, length, reply, 1000000, 3) == HEADER_SIZE);
            link.send_seq++;
        }
        printf("ready\n");
        fflush(stdout);
        wait_for_end(endpoint, link, ConversationSide::server);
        printf("server ended, keys left: %s\n", unread_keys().c_str());
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(ends.server, "ready\n", 10000));
}

}  // namespace

// A key on the server: it reads the key and sends TERM; the client, which
// acknowledges everything it accepts meanwhile with "resend ack: N",
// acknowledges TERM twice.
TEST(ClosingExchange, KeyOnTheServerSendsTermThatTheClientAcknowledgesTwice) {
    Ends ends;
    start_both(ends, true);
    usleep(300000);
    send_keys(ends.server, "k");
    EXPECT_TRUE(finish_processes({&ends.server, &ends.client}, 20000));
    std::vector<WireDatagram> datagrams = protocol_datagrams(stop_sniffer(ends.wire));
    EXPECT_EQ(ends.server.output, "note answered 1\nready\nserver ended, keys left: none\n");
    EXPECT_EQ(ends.client.output,
              "ready\nresend ack: 11\nresend ack: 12\nclient ended, keys left: none\n");
    int terms = 0, acks_of_term = 0;
    for (const WireDatagram& d : datagrams) {
        if (from(d, SERVER_MAC) && tagged(d, TAG_TERMINATION)) {
            ++terms;
            EXPECT_EQ(d.header.seq, 12);
            EXPECT_EQ(d.header.flags, 0);
        }
        if (from(d, CLIENT_MAC) && is_ack(d) && d.header.ack == 12) ++acks_of_term;
    }
    EXPECT_EQ(terms, 1);
    EXPECT_EQ(acks_of_term, 2);
}

// A key on the client: it leaves the key unread and sends TERM, which the
// server acknowledges once.
TEST(ClosingExchange, KeyOnTheClientSendsTermThatTheServerAcknowledgesOnce) {
    Ends ends;
    start_both(ends, false);
    usleep(300000);
    send_keys(ends.client, "k");
    EXPECT_TRUE(finish_processes({&ends.server, &ends.client}, 20000));
    std::vector<WireDatagram> datagrams = protocol_datagrams(stop_sniffer(ends.wire));
    EXPECT_EQ(ends.server.output, "ready\nserver ended, keys left: none\n");
    EXPECT_EQ(ends.client.output, "ready\nclient ended, keys left: k\n");
    int terms = 0, acks = 0;
    for (const WireDatagram& d : datagrams) {
        if (from(d, CLIENT_MAC) && tagged(d, TAG_TERMINATION)) {
            ++terms;
            EXPECT_EQ(d.header.seq, 4);
        }
        if (from(d, SERVER_MAC) && is_ack(d)) {
            ++acks;
            EXPECT_EQ(d.header.ack, 4);
        }
    }
    EXPECT_EQ(terms, 1);
    EXPECT_EQ(acks, 1);
}

// Nobody answers: the termination goes out five times, 100 ms apart, and
// the exchange ends all the same.
TEST(ClosingExchange, UnansweredTermIsSentFiveTimes) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    ASSERT_TRUE(run_ip(cable.client, {"link", "set", "cli0", "up"}));
    WireSniffer wire;
    ASSERT_TRUE(start_sniffer(wire, cable.server, "srv0"));
    LabProcess server;
    ASSERT_TRUE(start_in_namespace(server, cable.server, [] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        LinkState link, client_side;
        links_after_files(link, client_side);
        int64_t start = now_us();
        wait_for_end(endpoint, link, ConversationSide::server);
        int64_t took = now_us() - start;
        printf("ended after %s\n",
               took >= 500000 && took < 1500000 ? "half a second" : std::to_string(took).c_str());
        return 0;
    }));
    send_keys(server, "k");
    EXPECT_TRUE(finish_processes({&server}, 10000));
    std::vector<WireDatagram> terms;
    for (const WireDatagram& d : protocol_datagrams(stop_sniffer(wire)))
        if (from(d, SERVER_MAC) && tagged(d, TAG_TERMINATION)) terms.push_back(d);
    EXPECT_EQ(server.output, "ended after half a second\n");
    ASSERT_EQ(terms.size(), 5u);
    for (double gap : gaps_ms(terms)) {
        EXPECT_GE(gap, 99);
        EXPECT_LE(gap, 500);
    }
}

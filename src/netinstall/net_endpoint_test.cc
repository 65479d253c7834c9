#include "netinstall/net_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "netinstall/netinstall_test_support.h"

namespace {

void no_op(int) {}

// Sends text from a plain UDP socket on interface, from source_port to the
// installation port.
bool send_from_port(const char* interface, uint16_t source_port, const char* text) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface, strlen(interface) + 1);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(source_port);
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(INSTALL_PORT);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    ssize_t n = sendto(fd, text, strlen(text), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
    return n == static_cast<ssize_t>(strlen(text));
}

}  // namespace

// What one side sends arrives whole at the other as a limited broadcast
// from 0.0.0.0:5000, and comes back to the sender's own socket as well.
TEST(NetEndpoint, SendsLimitedBroadcastsThatComeBackToTheSender) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    LabProcess client;
    ASSERT_TRUE(start_in_namespace(client, cable.client, [] {
        NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
        printf("listening\n");
        fflush(stdout);
        uint8_t buffer[RECEIVE_BUFFER_SIZE];
        int length = wait_datagram(endpoint, buffer, 10000000);
        printf("got %d '%.*s' from %s:%d\n", length, length > 0 ? length : 0, buffer,
               inet_ntoa(endpoint.source.sin_addr), ntohs(endpoint.source.sin_port));
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(client, "listening\n", 10000));
    LabProcess server;
    ASSERT_TRUE(start_in_namespace(server, cable.server, [] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        const uint8_t text[] = "twenty-nine bytes of payload!";
        int sent = send_datagram(endpoint, text, 29);
        uint8_t buffer[RECEIVE_BUFFER_SIZE];
        int back = wait_datagram(endpoint, buffer, 2000000);
        printf("sent %d back %d\n", sent, back);
        close_endpoint(endpoint);
        close_endpoint(endpoint);  // a second close does nothing
        printf("closed %d\n", endpoint.socket_fd);
        return 0;
    }));
    EXPECT_TRUE(finish_processes({&client, &server}, 20000));
    EXPECT_EQ(server.output, "sent 29 back 29\nclosed -1\n");
    EXPECT_EQ(client.output,
              "listening\ngot 29 'twenty-nine bytes of payload!' from 0.0.0.0:5000\n");
}

// A datagram from another source port is consumed and reported as -1; a
// wait of 0 polls; a wait with a limit waits that long.
TEST(NetEndpoint, WaitsPollsAndDropsOtherPorts) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    LabProcess server;
    ASSERT_TRUE(start_in_namespace(server, cable.server, [] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        uint8_t buffer[RECEIVE_BUFFER_SIZE];
        int64_t start = now_us();
        int polled = wait_datagram(endpoint, buffer, 0);
        int64_t poll_us = now_us() - start;
        start = now_us();
        int waited = wait_datagram(endpoint, buffer, 300000);
        int64_t wait_us = now_us() - start;
        printf("empty poll %d in %s, wait %d after %s\n", polled,
               poll_us < 250000 ? "no time" : "too long", waited,
               wait_us >= 295000 && wait_us < 2000000 ? "300 ms" : "wrong time");
        printf("ready\n");
        fflush(stdout);
        // The client sends from port 6000, then from 5000: a wait ends with
        // each of them.
        int other = wait_datagram(endpoint, buffer, 10000000);
        int right = wait_datagram(endpoint, buffer, 10000000);
        int after = wait_datagram(endpoint, buffer, 0);
        printf("port 6000: %d, port 5000: %d '%.*s', then %d\n", other, right,
               right > 0 ? right : 0, buffer, after);
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(server, "ready\n", 10000));
    LabProcess client;
    ASSERT_TRUE(start_in_namespace(client, cable.client, [] {
        NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
        bool other = send_from_port("cli0", 6000, "from the wrong port");
        const uint8_t text[] = "right";
        usleep(50000);
        return other && send_datagram(endpoint, text, 5) == 5 ? 0 : 1;
    }));
    EXPECT_TRUE(finish_processes({&client, &server}, 20000));
    EXPECT_EQ(exit_code(client), 0) << client.output;
    EXPECT_EQ(server.output,
              "empty poll -1 in no time, wait -1 after 300 ms\nready\n"
              "port 6000: -1, port 5000: 5 'right', then -1\n");
}

// A key waiting wins over a queued datagram, which stays for the next
// wait; a signal gives -1.
TEST(NetEndpoint, WaitsForADatagramOrAKey) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    LabProcess server;
    ASSERT_TRUE(start_in_namespace(server, cable.server, [] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        printf("ready\n");
        fflush(stdout);
        uint8_t buffer[RECEIVE_BUFFER_SIZE];
        int first = wait_datagram_or_key(endpoint, buffer);  // the datagram
        printf("datagram %d\n", first);
        fflush(stdout);
        usleep(700000);  // a key and a second datagram arrive meanwhile
        int key = wait_datagram_or_key(endpoint, buffer);
        int key_again = wait_datagram_or_key(endpoint, buffer);
        char c = 0;
        ssize_t n = read(0, &c, 1);
        int queued = wait_datagram_or_key(endpoint, buffer);
        printf("key %d %d '%c' %d, then datagram %d\n", key, key_again, c, static_cast<int>(n),
               queued);
        struct sigaction action = {};
        action.sa_handler = no_op;
        sigaction(SIGALRM, &action, nullptr);
        alarm(1);
        printf("signal %d\n", wait_datagram_or_key(endpoint, buffer));
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(server, "ready\n", 10000));
    LabProcess client;
    ASSERT_TRUE(start_in_namespace(client, cable.client, [] {
        NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
        const uint8_t text[] = "0123456789";
        send_datagram(endpoint, text, 10);
        usleep(300000);
        send_datagram(endpoint, text, 7);
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(server, "datagram 10\n", 10000));
    send_keys(server, "k");
    EXPECT_TRUE(finish_processes({&client, &server}, 20000));
    EXPECT_EQ(server.output, "ready\ndatagram 10\nkey -2 -2 'k' 1, then datagram 7\nsignal -1\n");
}

// With an inbox, datagrams come from it (whole, up to the receive buffer;
// a longer one is consumed as -1) and every wait watches it, not the socket.
TEST(NetEndpoint, ReceivesFromItsInboxWhenItHasOne) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    int unused[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, unused), 0);
    NetEndpoint endpoint;
    endpoint.socket_fd = unused[0];  // readable, but not where datagrams come from
    endpoint.inbox_fd = pair[1];
    ASSERT_EQ(write(unused[1], "socket", 6), 6);
    uint8_t buffer[RECEIVE_BUFFER_SIZE];
    EXPECT_EQ(poll_datagram(endpoint, buffer), NOTHING_QUEUED);
    EXPECT_EQ(wait_datagram(endpoint, buffer, 20000), -1);
    ASSERT_EQ(write(pair[0], "first", 5), 5);
    std::string big(RECEIVE_BUFFER_SIZE + 1, 'x');
    ASSERT_EQ(write(pair[0], big.data(), big.size()), static_cast<ssize_t>(big.size()));
    ASSERT_EQ(write(pair[0], "third", 5), 5);
    EXPECT_EQ(wait_datagram(endpoint, buffer, 20000), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "first");
    EXPECT_EQ(poll_datagram(endpoint, buffer), -1);
    EXPECT_EQ(wait_datagram(endpoint, buffer, 0), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "third");
    EXPECT_EQ(poll_datagram(endpoint, buffer), NOTHING_QUEUED);
    for (int fd : {pair[0], pair[1], unused[0], unused[1]}) close(fd);
}

// An endpoint that keeps its own datagrams gets those addressed to its MAC
// and to nobody, never those for another machine nor one too short to say.
TEST(NetEndpoint, KeepsOnlyTheDatagramsMeantForIt) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    LabProcess client;
    ASSERT_TRUE(start_in_namespace(client, cable.client, [] {
        NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
        printf("filter %d\n", keep_own_datagrams(endpoint));
        fflush(stdout);
        uint8_t buffer[RECEIVE_BUFFER_SIZE];
        int length;
        while ((length = wait_datagram(endpoint, buffer, 3000000)) > 0)
            printf("got %d byte %d\n", length, length > HEADER_SIZE ? buffer[HEADER_SIZE] : -1);
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(client, "filter 1\n", 10000));
    LabProcess server;
    ASSERT_TRUE(start_in_namespace(server, cable.server, [] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        const uint8_t ZERO[MAC_LENGTH] = {};
        const uint8_t* to[] = {CLIENT_MAC, OTHER_CLIENT_MAC, ZERO, CLIENT_MAC_2, CLIENT_MAC};
        for (int i = 0; i < 5; ++i) {
            std::vector<uint8_t> d =
                forged_datagram(SERVER_MAC, to[i], 0, KIND_TEXT, 1, 0, std::string(1, 'a' + i));
            send_datagram(endpoint, d.data(), static_cast<int>(d.size()));
        }
        const uint8_t short_one[] = {2, 0, 0, 0, 1, 1, 2, 0, 0};
        send_datagram(endpoint, short_one, sizeof short_one);
        return 0;
    }));
    EXPECT_TRUE(finish_processes({&client, &server}, 20000));
    EXPECT_EQ(client.output, "filter 1\ngot 21 byte 97\ngot 21 byte 99\ngot 21 byte 101\n");
}

#include "netinstall/client_conversation.h"

#include <gtest/gtest.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "netinstall/netinstall_test_support.h"
#include "netinstall/protocol_messages.h"
#include "netinstall/reliable_send.h"

namespace {

// A client that accepts an offer, prepares its "disk" for prepare_ms and
// asks for the start; prints what it got.
int client_until_start(const char* label, int prepare_ms) {
    InstallClient client;
    open_install_client(client);
    for (unsigned i = 0; interface_mac_text(client.interfaces, i) != nullptr; ++i)
        printf("mac-address: %s\n", interface_mac_text(client.interfaces, i));
    fflush(stdout);
    bool keep = true;
    bool accepted = accept_offer(client, label, keep);
    printf("accepted %d keep %d from %s", accepted, keep, format_mac(client.link.peer_mac));
    printf(" on %s seq %d/%d\n", format_mac(client.server_endpoint->mac), client.link.send_seq,
           client.link.recv_seq);
    fflush(stdout);
    usleep(static_cast<useconds_t>(prepare_ms) * 1000);
    bool started = request_start(client);
    printf("start %d seq %d\n", started, client.link.send_seq);
    close_install_client(client);
    return 0;
}

// The server's end of the opening: offer, acceptance, the acknowledgement
// repeated until the start, the start acknowledged.
struct Opening {
    NetEndpoint* endpoint;
    LinkState link;
    uint8_t datagram[MAX_DATAGRAM];
    uint8_t reply[RECEIVE_BUFFER_SIZE];

    Opening(NetEndpoint& on, const uint8_t* router) : endpoint(&on) {
        init_link(link);
        memcpy(link.own_mac, on.mac, MAC_LENGTH);
        memcpy(link.peer_mac, router, MAC_LENGTH);
        link.recv_seq = 1;
    }
    // The reply to the offer, or "" when none came.
    std::string offer(bool keep) {
        int length = build_offer(link, datagram, keep);
        int answer =
            send_reliably(*endpoint, link, datagram, length, reply, OFFER_WAIT_US, OFFER_TRIES);
        if (answer < HEADER_SIZE) return "";
        return std::string(reinterpret_cast<char*>(reply + HEADER_SIZE),
                           static_cast<size_t>(answer - HEADER_SIZE));
    }
    // After the acceptance: ack until the start comes, then ack it.
    bool start() {
        link.send_seq = 2;
        int length = build_acknowledgement(link, datagram);
        int answer = send_reliably(*endpoint, link, datagram, length, reply, START_WAIT_US,
                                   START_WAIT_TRIES);
        if (answer < 0 || !payload_begins_with(reply, answer, TAG_START)) return false;
        send_datagram(*endpoint, datagram, build_acknowledgement(link, datagram));
        return true;
    }
};

// What the server heard of the announcements while listening.
struct Announcements {
    std::map<std::string, std::string> labels;              // router MAC -> label
    std::map<std::string, std::vector<std::string>> heard;  // router MAC -> our interfaces
    std::map<std::string, std::vector<int64_t>> times;      // router MAC -> times on the first
};

Announcements listen(InterfaceList& list, int64_t duration_us) {
    Announcements a;
    LinkState link;
    init_link(link);
    uint8_t datagram[RECEIVE_BUFFER_SIZE];
    int64_t end = now_us() + duration_us;
    while (now_us() < end) {
        fd_set readable;
        FD_ZERO(&readable);
        int highest = 0;
        for (unsigned i = 0; i < list.count; ++i) {
            FD_SET(list.endpoints[i]->socket_fd, &readable);
            highest = std::max(highest, list.endpoints[i]->socket_fd);
        }
        timeval limit = {0, 100000};
        if (select(highest + 1, &readable, nullptr, nullptr, &limit) <= 0) continue;
        for (unsigned i = 0; i < list.count; ++i) {
            NetEndpoint& endpoint = *list.endpoints[i];
            if (!FD_ISSET(endpoint.socket_fd, &readable)) continue;
            int length = receive_datagram(endpoint, datagram);
            reset_link(link);
            memcpy(link.own_mac, endpoint.mac, MAC_LENGTH);
            char label[LABEL_SIZE];
            if (length <= 0 || !accept_datagram(link, datagram, length) ||
                !read_discovery(datagram, length, label))
                continue;
            std::string router = format_mac(read_header(datagram).src_mac);
            std::string on = format_mac(endpoint.mac);
            a.labels[router] = label;
            std::vector<std::string>& where = a.heard[router];
            if (std::find(where.begin(), where.end(), on) == where.end()) where.push_back(on);
            if (i == 0) a.times[router].push_back(now_us());
        }
    }
    return a;
}

}  // namespace

// Two routers announce at once on one segment, one of them through two
// cards; the server has two cards on the segment as well. Each router is
// heard on both of the server's cards, once a second, and takes only the
// offer addressed to it, with or without "keep", ignoring the other's
// announcements; the server repeats its acknowledgement while a router
// prepares its disk.
TEST(ClientConversation, TwoRoutersAnnounceAndEachTakesOnlyItsOwnOffer) {
    NetNamespace hub, server, router_a, router_b;
    ASSERT_TRUE(create_namespace(hub) && create_namespace(server) && create_namespace(router_a) &&
                create_namespace(router_b))
        << "private network namespaces are needed (run as root)";
    ASSERT_TRUE(add_segment(hub, "lan") &&
                join_segment(hub, "lan", server, "srv0", mac_option(SERVER_MAC)) &&
                join_segment(hub, "lan", server, "srv1", mac_option(SERVER_MAC_2)) &&
                join_segment(hub, "lan", router_a, "cli0", mac_option(CLIENT_MAC)) &&
                join_segment(hub, "lan", router_a, "cli1", mac_option(CLIENT_MAC_2)) &&
                join_segment(hub, "lan", router_b, "oth0", mac_option(OTHER_CLIENT_MAC)));

    LabProcess serving;
    ASSERT_TRUE(start_in_namespace(serving, server, [] {
        InterfaceList list;
        list_interfaces(list);
        printf("ready\n");
        fflush(stdout);
        Announcements a = listen(list, 3500000);
        for (const auto& entry : a.heard) {
            printf("heard %s (%s) on", entry.first.c_str(), a.labels[entry.first].c_str());
            // The two cards hear one broadcast in either order.
            std::vector<std::string> cards = entry.second;
            std::sort(cards.begin(), cards.end());
            for (const std::string& on : cards) printf(" %s", on.c_str());
            const std::vector<int64_t>& t = a.times[entry.first];
            bool every_second = t.size() >= 3;
            for (size_t i = 1; i < t.size(); ++i)
                every_second =
                    every_second && t[i] - t[i - 1] > 700000 && t[i] - t[i - 1] < 1700000;
            printf("%s\n", every_second ? ", every second" : ", NOT every second");
        }
        // Router a through its second card, on the server's second card.
        Opening first(*list.endpoints[1], CLIENT_MAC_2);
        printf("a answers %s", first.offer(true).c_str());
        printf("a started %d\n", first.start());
        Opening second(*list.endpoints[0], OTHER_CLIENT_MAC);
        printf("b answers %s", second.offer(false).c_str());
        printf("b started %d\n", second.start());
        free_interfaces(list);
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(serving, "ready\n", 10000));
    LabProcess a, b;
    ASSERT_TRUE(
        start_in_namespace(a, router_a, [] { return client_until_start("router-a", 2500); }));
    ASSERT_TRUE(start_in_namespace(b, router_b, [] { return client_until_start("router-b", 0); }));
    EXPECT_TRUE(finish_processes({&serving, &a, &b}, 60000));
    EXPECT_EQ(serving.output,
              "ready\n"
              "heard 02:00:00:00:02:01 (router-a) on 02:00:00:00:01:01 02:00:00:00:01:02, "
              "every second\n"
              "heard 02:00:00:00:02:02 (router-a) on 02:00:00:00:01:01 02:00:00:00:01:02, "
              "every second\n"
              "heard 02:00:00:00:03:01 (router-b) on 02:00:00:00:01:01 02:00:00:00:01:02, "
              "every second\n"
              "a answers YACK\na started 1\nb answers YACK\nb started 1\n");
    EXPECT_EQ(a.output,
              "mac-address: 02:00:00:00:02:01\nmac-address: 02:00:00:00:02:02\n"
              "accepted 1 keep 1 from 02:00:00:00:01:02 on 02:00:00:00:02:02 seq 3/1\n"
              "start 1 seq 4\n");
    EXPECT_EQ(b.output,
              "mac-address: 02:00:00:00:03:01\n"
              "accepted 1 keep 0 from 02:00:00:00:01:01 on 02:00:00:00:03:01 seq 3/1\n"
              "start 1 seq 4\n");
    for (NetNamespace* ns : {&hub, &server, &router_a, &router_b}) close_namespace(*ns);
}

// The server leaves the acceptance unanswered: the router sends it five
// times, a second apart, and announces itself again; the second offer's
// acceptance is acknowledged; then the start goes unanswered five times.
TEST(ClientConversation, AcceptanceAndStartAreSentFiveTimes) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    LabProcess serving;
    ASSERT_TRUE(start_in_namespace(serving, cable.server, [] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        printf("ready\n");
        fflush(stdout);
        LinkState link;
        uint8_t datagram[RECEIVE_BUFFER_SIZE];
        uint8_t offer[MAX_DATAGRAM];
        // Wait for the router, offer, and then only listen.
        // The tag of the router's next datagram; "" after limit_us of silence.
        auto next = [&](int64_t limit_us) -> std::string {
            for (;;) {
                int length = wait_datagram(endpoint, datagram, limit_us);
                if (length < HEADER_SIZE) return "";
                if (!same_mac(datagram, SERVER_MAC))
                    return std::string(reinterpret_cast<char*>(datagram + HEADER_SIZE), 4);
            }
        };
        while (next(5000000) != "DSCV") {
        }
        init_link(link);
        memcpy(link.own_mac, SERVER_MAC, MAC_LENGTH);
        memcpy(link.peer_mac, CLIENT_MAC, MAC_LENGTH);
        link.recv_seq = 1;
        send_datagram(endpoint, offer, build_offer(link, offer, false));
        std::vector<int64_t> times;
        std::string tag;
        while ((tag = next(3000000)) == "YACK" || tag.empty()) {
            if (tag.empty()) break;
            times.push_back(now_us());
        }
        printf("%zu acceptances", times.size());
        bool spaced = true;
        for (size_t i = 1; i < times.size(); ++i)
            spaced =
                spaced && times[i] - times[i - 1] > 800000 && times[i] - times[i - 1] < 1700000;
        printf(", %s, then %s\n", spaced ? "a second apart" : "NOT a second apart", tag.c_str());
        // Offer again; this time acknowledge the acceptance once.
        reset_link(link);
        link.recv_seq = 1;
        uint8_t reply[RECEIVE_BUFFER_SIZE];
        int length = send_reliably(endpoint, link, offer, build_offer(link, offer, false), reply,
                                   OFFER_WAIT_US, OFFER_TRIES);
        link.send_seq = 2;
        send_datagram(endpoint, offer, build_acknowledgement(link, offer));
        printf("second offer answered %d\n", length > 0);
        int starts = 0;
        while (next(3000000) == "STRT") ++starts;
        printf("%d starts\n", starts);
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(serving, "ready\n", 10000));
    LabProcess router;
    ASSERT_TRUE(
        start_in_namespace(router, cable.client, [] { return client_until_start("lab", 0); }));
    EXPECT_TRUE(finish_processes({&serving, &router}, 60000));
    EXPECT_EQ(serving.output,
              "ready\n5 acceptances, a second apart, then DSCV\nsecond offer answered 1\n"
              "5 starts\n");
    EXPECT_EQ(router.output,
              "mac-address: 02:00:00:00:02:01\n"
              "accepted 1 keep 0 from 02:00:00:00:01:01 on 02:00:00:00:02:01 seq 3/1\n"
              "start 0 seq 3\n");
}

// Five datagrams a second reach the router's port from another source
// port, before and during the server's offer: each is dropped, the drain of
// the card goes on behind it, and the router takes the first offer and
// starts.
TEST(ClientConversation, DatagramsFromOtherPortsDoNotHideAnOffer) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    LabProcess serving;
    ASSERT_TRUE(start_in_namespace(serving, cable.server, [] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        Injector injector;
        if (!open_injector(injector, "srv0", INSTALL_PORT + 1)) return 100;
        printf("ready\n");
        fflush(stdout);
        uint8_t datagram[RECEIVE_BUFFER_SIZE];
        int length;
        while ((length = wait_datagram(endpoint, datagram, 5000000)) >= 0 &&
               !payload_begins_with(datagram, length, TAG_DISCOVERY)) {
        }
        // An offer as the real one, and junk, all from the wrong port.
        static const uint8_t nobody[MAC_LENGTH] = {};
        std::vector<uint8_t> wrong_offer =
            forged_datagram(SERVER_MAC, CLIENT_MAC, ACK_FLAG, KIND_TEXT, 1, 1, "OFFR\n\n");
        std::vector<uint8_t> junk = forged_datagram(OTHER_CLIENT_MAC, nobody, 0, KIND_TEXT, 1, 0,
                                                    std::string("DSCV\n\n\nx") + '\0');
        std::atomic<bool> flooding(true);
        std::thread flood([&] {
            for (int i = 0; flooding && i < 200; ++i) {
                inject(injector, i % 2 ? wrong_offer : junk);
                usleep(200000);
            }
        });
        usleep(3000000);  // the queue would have grown by now
        Opening opening(endpoint, CLIENT_MAC);
        std::string answer = opening.offer(false);
        printf("answered %s", answer.c_str());
        printf("started %d\n", opening.start());
        flooding = false;
        flood.join();
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(serving, "ready\n", 10000));
    LabProcess router;
    ASSERT_TRUE(
        start_in_namespace(router, cable.client, [] { return client_until_start("lab", 0); }));
    EXPECT_TRUE(finish_processes({&serving, &router}, 60000));
    EXPECT_EQ(serving.output, "ready\nanswered YACK\nstarted 1\n");
    EXPECT_EQ(router.output,
              "mac-address: 02:00:00:00:02:01\n"
              "accepted 1 keep 0 from 02:00:00:00:01:01 on 02:00:00:00:02:01 seq 3/1\n"
              "start 1 seq 4\n");
}

#include "frame_relay.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lab_process.h"
#include "net_namespace.h"
#include "netinstall/link_state.h"
#include "netinstall/net_endpoint.h"

namespace {

// A folder with one emulated card per port: the card's socket, and the
// relay (in a thread) joining them all.
struct Hub {
    std::string dir;
    std::vector<int> cards;
    FrameRelay relay;
    int stop[2] = {-1, -1};
    std::thread thread;

    Hub(int ports, const FaultPlan& faults, bool capture = false) {
        char name[] = "/tmp/relay-test-XXXXXX";
        dir = mkdtemp(name);
        init_relay(relay, faults);
        for (int i = 0; i < ports; ++i) {
            std::string card_path = dir + "/card" + std::to_string(i);
            int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            snprintf(address.sun_path, sizeof address.sun_path, "%s", card_path.c_str());
            EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            // The relay's end: where the card sends.
            sockaddr_un relay_end = address;
            snprintf(relay_end.sun_path, sizeof relay_end.sun_path, "%s/relay%d", dir.c_str(), i);
            std::string error;
            EXPECT_TRUE(add_unix_port(relay, relay_end.sun_path, card_path, error)) << error;
            EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&relay_end), sizeof relay_end), 0);
            cards.push_back(fd);
        }
        if (capture) {
            EXPECT_TRUE(open_pcap(relay.pcap, pcap_path().c_str()));
        }
        EXPECT_EQ(pipe(stop), 0);
        thread = std::thread([this] { run_relay(relay, stop[0]); });
    }
    ~Hub() {
        if (thread.joinable()) finish();
        for (int fd : cards) close(fd);
        close_relay(relay);
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    std::string pcap_path() const { return dir + "/capture.pcap"; }
    void finish() {
        EXPECT_EQ(write(stop[1], "x", 1), 1);
        thread.join();
        close(stop[0]);
        close(stop[1]);
    }
    void send(int card, const std::string& frame) {
        ASSERT_EQ(::send(cards[card], frame.data(), frame.size(), 0),
                  static_cast<ssize_t>(frame.size()));
    }
    // Every frame that reaches card within quiet_ms of the last one.
    std::vector<std::string> receive_all(int card, int quiet_ms = 300) {
        std::vector<std::string> frames;
        pollfd p = {cards[card], POLLIN, 0};
        while (poll(&p, 1, quiet_ms) > 0) {
            char buffer[2048];
            ssize_t n = recv(cards[card], buffer, sizeof buffer, 0);
            if (n <= 0) break;
            frames.emplace_back(buffer, static_cast<size_t>(n));
        }
        return frames;
    }
};

std::string numbered(int n) {
    char text[64];
    snprintf(text, sizeof text, "frame %04d padded to look like an Ethernet frame......", n);
    return text;
}

// What a seeded relay lets through of 300 frames sent one after another.
std::vector<std::string> survivors(const FaultPlan& faults) {
    Hub hub(2, faults);
    for (int i = 1; i <= 300; ++i) {
        hub.send(0, numbered(i));
        usleep(200);
    }
    return hub.receive_all(1);
}

TEST(FrameRelay, HubForwardsEveryFrameToEveryOtherPortAndCapturesIt) {
    Hub hub(3, FaultPlan(), true);
    hub.send(0, numbered(1));
    hub.send(2, numbered(2));
    EXPECT_EQ(hub.receive_all(1), (std::vector<std::string>{numbered(1), numbered(2)}));
    EXPECT_EQ(hub.receive_all(2), std::vector<std::string>{numbered(1)});
    EXPECT_EQ(hub.receive_all(0, 50), std::vector<std::string>{numbered(2)});
    hub.finish();
    EXPECT_EQ(hub.relay.counters.received, 2u);
    EXPECT_EQ(hub.relay.counters.forwarded, 2u);
    close_pcap(hub.relay.pcap);

    // Classic pcap: 24-byte file header (Ethernet), then 16 bytes per
    // record before the frame's bytes.
    FILE* f = fopen(hub.pcap_path().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> bytes(4096);
    size_t n = fread(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    std::string frame = numbered(1);
    ASSERT_EQ(n, 24 + 2 * (16 + frame.size()));
    const uint8_t header[] = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0};
    EXPECT_EQ(memcmp(bytes.data(), header, sizeof header), 0);
    EXPECT_EQ(bytes[20], 1);  // link type Ethernet
    EXPECT_EQ(bytes[24 + 8], frame.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&bytes[24 + 16]), frame.size()), frame);
}

TEST(FrameRelay, OneSeedGivesOneSeriesOfDropsDuplicatesAndReorders) {
    FaultPlan faults;
    faults.seed = 42;
    faults.drop_percent = 20;
    faults.duplicate_percent = 10;
    faults.reorder_percent = 10;
    faults.reorder_delay_us = 3000;
    std::vector<std::string> first = survivors(faults);
    std::vector<std::string> again = survivors(faults);
    // Reordering depends on timing; the set of frames and copies does not.
    std::vector<std::string> first_sorted = first, again_sorted = again;
    std::sort(first_sorted.begin(), first_sorted.end());
    std::sort(again_sorted.begin(), again_sorted.end());
    EXPECT_EQ(first_sorted, again_sorted);
    // About 80 % of 300 get through, about 10 % of them twice.
    EXPECT_GT(first.size(), 200u);
    EXPECT_LT(first.size(), 290u);
    size_t copies = first_sorted.size() -
                    (std::unique(first_sorted.begin(), first_sorted.end()) - first_sorted.begin());
    EXPECT_GT(copies, 5u);
    EXPECT_LT(copies, 50u);
    // Frames held back arrive after frames sent later.
    EXPECT_FALSE(std::is_sorted(first.begin(), first.end()));

    faults.seed = 43;
    std::vector<std::string> other = survivors(faults);
    std::sort(other.begin(), other.end());
    EXPECT_NE(other, first_sorted);
}

TEST(FrameRelay, DropsChosenFramesByNumberOnAPortOrOverall) {
    FaultPlan faults;
    faults.drop_frames = {{1, 2}, {-1, 5}};  // port 1's 2nd frame; the 5th overall
    Hub hub(2, faults);
    for (int i = 1; i <= 3; ++i) {
        hub.send(0, numbered(i));        // overall 1, 3, 5
        hub.send(1, numbered(100 + i));  // overall 2, 4, 6
        usleep(20000);
    }
    EXPECT_EQ(hub.receive_all(1), (std::vector<std::string>{numbered(1), numbered(2)}));
    EXPECT_EQ(hub.receive_all(0), (std::vector<std::string>{numbered(101), numbered(103)}));

    // By content: the second frame from port 0 whose number ends in 7
    // (byte 9), whatever frames came between.
    FaultPlan by_content;
    FrameChoice choice;
    choice.port = 0;
    choice.number = 2;
    choice.offset = 9;
    choice.match = {'7'};
    by_content.drop_frames = {choice};
    Hub matching(2, by_content);
    for (int i : {17, 5, 27, 37}) {
        matching.send(0, numbered(i));
        usleep(20000);
    }
    EXPECT_EQ(matching.receive_all(1),
              (std::vector<std::string>{numbered(17), numbered(5), numbered(37)}));
}

TEST(FrameRelay, DelaysEveryFrame) {
    FaultPlan faults;
    faults.delay_us = 150000;
    Hub hub(2, faults);
    int64_t sent = now_us();
    hub.send(0, numbered(1));
    pollfd p = {hub.cards[1], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_GE(now_us() - sent, 140000);
}

// A tap port made inside a private namespace carries the frames of a real
// interface there; the relay never makes one in its own namespace.
TEST(FrameRelay, TapPortInAPrivateNamespace) {
    NetNamespace ns;
    ASSERT_TRUE(create_namespace(ns)) << "network namespaces are needed (run as root)";
    FaultPlan faults;
    Hub hub(1, faults);
    hub.finish();  // ports are added while the relay is stopped

    std::string error;
    EXPECT_FALSE(add_tap_port(hub.relay, "tapx", "/proc/self/ns/net", error));
    EXPECT_NE(error.find("own network namespace"), std::string::npos) << error;
    std::string path = "/proc/self/fd/" + std::to_string(ns.fd);
    ASSERT_TRUE(add_tap_port(hub.relay, "lab0", path, error)) << error;
    ASSERT_TRUE(run_ip(ns, {"link", "set", "lab0", "address", "02:00:00:00:00:42"}));
    ASSERT_EQ(pipe(hub.stop), 0);
    hub.thread = std::thread([&hub] { run_relay(hub.relay, hub.stop[0]); });

    LabProcess sender;
    ASSERT_TRUE(start_in_namespace(sender, ns, [] {
        NetEndpoint endpoint;
        if (!open_endpoint(endpoint, "lab0", INSTALL_PORT)) return 1;
        const uint8_t hello[] = "hello through the tap";
        return send_datagram(endpoint, hello, sizeof hello) == sizeof hello ? 0 : 2;
    }));
    EXPECT_TRUE(finish_processes({&sender}, 10000));
    EXPECT_EQ(exit_code(sender), 0) << sender.output;
    std::vector<std::string> frames = hub.receive_all(0, 1000);
    ASSERT_EQ(frames.size(), 1u);
    const std::string& frame = frames[0];
    // Ethernet broadcast from the tap's address, IPv4 UDP to port 5000.
    EXPECT_EQ(frame.substr(0, 6), std::string(6, '\xff'));
    EXPECT_EQ(frame.substr(6, 6), std::string("\x02\0\0\0\0\x42", 6));
    EXPECT_EQ(frame.substr(12, 2), std::string("\x08\x00", 2));
    EXPECT_NE(frame.find("hello through the tap"), std::string::npos);
    close_namespace(ns);
}

}  // namespace

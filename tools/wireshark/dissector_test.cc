// The dissector reads back what the lab's relay captured during a whole
// conversation: every header field, the messages, the label, the keep flag
// and the file headers' names and sizes, as they were sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "net_peer.h"
#include "netinstall/netinstall_test_support.h"

namespace {

// tshark's answer: one line per frame of the fields asked for.
std::string tshark(const std::string& pcap, const std::string& fields) {
    std::string command = "tshark -X lua_script:" DISSECTOR_PATH " -r " + pcap +
                          " -Y brindlex -T fields -E separator=, -E occurrence=f" + fields +
                          " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = pclose(pipe);
    return status == 0 ? output : "tshark failed: " + output;
}

}  // namespace

TEST(Dissector, ReadsBackAWholeConversationAsSent) {
    FileFolder files;
    std::string pcap = files.path + "/conversation.pcap";
    RelayedCable cable(FaultPlan(), pcap);
    ASSERT_TRUE(cable.ok) << "private network namespaces and tap devices are needed (run as root)";
    std::string package = files.make("base.vpk", 1500);
    FileFolder received;

    LabProcess server, client;
    PeerOptions serving;
    serving.files = {package};
    serving.keep = true;
    serving.listen_seconds = 20;
    ASSERT_TRUE(
        start_in_namespace(server, cable.server, [serving] { return run_server_peer(serving); }));
    ASSERT_TRUE(wait_for_output(server, "Looking for routers", 10000));
    PeerOptions router;
    router.label = "lab-router";
    router.folder = received.path;
    ASSERT_TRUE(
        start_in_namespace(client, cable.client, [router] { return run_client_peer(router); }));
    ASSERT_TRUE(wait_for_output(client, "Press ENTER to reboot\n", 30000));
    send_keys(client, "\n");
    EXPECT_TRUE(finish_processes({&server, &client}, 30000));
    cable.finish();

    std::string fields = tshark(pcap,
                                " -e brindlex.src -e brindlex.dst -e brindlex.flags.ack"
                                " -e brindlex.kind -e brindlex.length -e brindlex.seq"
                                " -e brindlex.ack -e brindlex.message -e brindlex.label"
                                " -e brindlex.keep -e brindlex.file.name -e brindlex.file.size");
    // The first announcement, the opening, the file and the end (later
    // announcements and every repeat left out).
    const std::string S = "02:00:00:00:01:01", C = "02:00:00:00:02:01", Z = "00:00:00:00:00:00";
    std::vector<std::string> expected = {
        C + "," + Z + ",0,0,19,1,0,DSCV,lab-router,,,",
        S + "," + C + ",1,0,12,1,1,OFFR,,1,,",
        C + "," + S + ",1,0,5,2,1,YACK,,,,",
        S + "," + C + ",1,0,0,2,2,acknowledgement,,,,",
        C + "," + S + ",0,0,4,3,0,STRT,,,,",
        S + "," + C + ",1,0,0,2,3,acknowledgement,,,,",
        S + "," + C + ",0,0,19,2,0,FILE,,,base.vpk,1500",
        C + "," + S + ",1,0,0,4,2,acknowledgement,,,,",
        S + "," + C + ",0,1,1452,3,0,data,,,,",
        C + "," + S + ",1,0,0,4,3,acknowledgement,,,,",
        S + "," + C + ",0,1,48,4,0,data,,,,",
        C + "," + S + ",1,0,0,4,4,acknowledgement,,,,",
        S + "," + C + ",0,0,19,5,0,FILE,,,autorun.scr,0",
        C + "," + S + ",1,0,0,4,5,acknowledgement,,,,",
        C + "," + S + ",0,0,4,4,0,TERM,,,,",
        S + "," + C + ",1,0,0,6,4,acknowledgement,,,,",
    };
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < fields.size()) {
        size_t end = fields.find('\n', at);
        if (end == std::string::npos) end = fields.size();
        std::string line = fields.substr(at, end - at);
        at = end + 1;
        bool announcement = line.find(",DSCV,") != std::string::npos;
        // A datagram repeated because its answer came late (a loaded
        // machine) is read back once.
        bool repeat = std::find(lines.begin(), lines.end(), line) != lines.end();
        if ((announcement && !lines.empty()) || repeat) continue;
        lines.push_back(line);
    }
    EXPECT_EQ(lines, expected) << fields;
}

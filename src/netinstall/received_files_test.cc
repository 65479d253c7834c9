#include "netinstall/received_files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "netinstall/netinstall_test_support.h"
#include "netinstall/reliable_send.h"

namespace {

// One file as the server sends it: any name, the content from memory.
struct Outgoing {
    std::string name;
    std::string content;
};

// Starts sender on content under name, as start_file does for a file or
// the script, but with a name of the test's choosing.
bool start_named(FileSender& sender, const Outgoing& file) {
    sender.from_file = false;
    sender.text = file.content.data();
    sender.size = static_cast<int>(file.content.size());
    sender.taken = 0;
    char* text = reinterpret_cast<char*>(sender.datagram + HEADER_SIZE);
    int length = format_file_header(text, MAX_BLOCK + 1, file.name.c_str(), sender.size);
    if (length < 0) return false;
    build_header(*sender.link, sender.datagram, length, false, KIND_TEXT);
    return true;
}

// How the server behaves after its files.
enum class Then {
    STOP,           // nothing more
    TEXT_FOR_DATA,  // one more file header, then a text message where a block belongs
};

// As transfer_file, but the blocks go only once the file at hold exists
// (the router's unpacker of this file makes it): the router's writes then
// come after whatever its unpacker did first. The header is sent once
// before the wait and again by transfer_file, a repeat that the router
// acknowledges as it does when an acknowledgement is lost.
bool transfer_held(FileSender& sender, const std::string& hold) {
    uint8_t reply[RECEIVE_BUFFER_SIZE];
    int length = HEADER_SIZE + read_header(sender.datagram).payload_length;
    if (send_reliably(*sender.endpoint, *sender.link, sender.datagram, length, reply,
                      FILE_HEADER_WAIT_US, FILE_TRIES) < 0)
        return false;
    for (int i = 0; i < 1000 && access(hold.c_str(), F_OK) != 0; ++i) usleep(10000);
    return transfer_file(sender);
}

// The server of a started conversation: every file in order, one sequence
// number after each, then what `then` says. With hold, the first file's
// blocks wait for that file (transfer_held).
int serve(const std::vector<Outgoing>& files, Then then, const std::string& hold = "") {
    NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
    LinkState link, unused;
    started_links(link, unused);
    for (const Outgoing& file : files) {
        FileSender sender;
        init_file_sender(sender, endpoint, link);
        if (!start_named(sender, file)) return 2;
        bool held = !hold.empty() && &file == &files.front();
        if (!(held ? transfer_held(sender, hold) : transfer_file(sender))) return 2;
        link.send_seq++;
    }
    if (then == Then::TEXT_FOR_DATA) {
        FileSender sender;
        init_file_sender(sender, endpoint, link);
        Outgoing cut = {"cut.vpk", std::string(5000, 'c')};
        uint8_t reply[RECEIVE_BUFFER_SIZE];
        int length = HEADER_SIZE +
                     (start_named(sender, cut) ? read_header(sender.datagram).payload_length : 0);
        if (send_reliably(endpoint, link, sender.datagram, length, reply, FILE_HEADER_WAIT_US,
                          FILE_TRIES) < 0)
            return 3;
        link.send_seq++;
        uint8_t datagram[MAX_DATAGRAM];
        send_datagram(endpoint, datagram,
                      build_message(link, datagram, TAG_TERMINATION, false, false));
    }
    return 0;
}

// A package unpacker that keeps what it is given: run N stores its
// arguments in ROOT/.unpacked/N.args and its input in N.data, and says
// "unpacked N" on the console.
const char RECORDING_UNPACKER[] =
    "#!/bin/sh\n"
    "n=0; while [ -e \"$2/.unpacked/$n.data\" ]; do n=$((n+1)); done\n"
    "echo \"$*\" > \"$2/.unpacked/$n.args\"\n"
    "cat > \"$2/.unpacked/$n.data\"\n"
    "echo \"unpacked $n\"\n";
// One that ends at once without reading anything.
const char QUITTING_UNPACKER[] = "#!/bin/sh\nexit 0\n";
// One that closes its input, says so in ROOT/.unpacked/closed and ends as
// if all were well: only the router's write into its pipe can tell.
const char CLOSING_UNPACKER[] = "#!/bin/sh\nexec 0<&-\n: > \"$2/.unpacked/closed\"\n";
// One that reads its whole input and fails (the disk below it did).
const char FAILING_UNPACKER[] = "#!/bin/sh\ncat > /dev/null\nexit 1\n";

// The router of a started conversation: receive_files into root with the
// unpacker; prints the result. file_size_limit > 0 limits the files the
// router may write (the unpacker, a child, inherits the limit).
int receive(const std::string& root, const std::string& unpacker, rlim_t file_size_limit = 0) {
    signal(SIGPIPE, SIG_IGN);
    if (file_size_limit > 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {file_size_limit, file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    InstallClient client;
    init_link(client.link);
    NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
    LinkState server_side;
    started_links(server_side, client.link);
    client.server_endpoint = &endpoint;
    if (!create_file_receiver(client)) return 100;
    FileDestination destination = {root.c_str(), unpacker.c_str()};
    bool received = receive_files(client, destination);
    printf("result %d\n", received);
    fflush(stdout);
    delete client.receiver;
    close_endpoint(endpoint);
    return 0;
}

// A transfer between the two ends on one cable, in a scratch folder with
// the new system's root in "root".
struct Transfer {
    FileFolder folder;
    std::string root = folder.path + "/root";
    std::string output;    // the router's console
    std::string unpacker;  // path of the unpacker used
    Transfer() {
        mkdir(root.c_str(), 0755);
        mkdir((root + "/.unpacked").c_str(), 0755);
    }
    std::string program(const char* name, const char* text) {
        std::string path = folder.path + "/" + name;
        FILE* f = fopen(path.c_str(), "w");
        fputs(text, f);
        fclose(f);
        chmod(path.c_str(), 0755);
        return path;
    }
    // Runs the two ends; whether the router ended within router_ms.
    bool run(const std::vector<Outgoing>& files, Then then = Then::STOP,
             const char* unpacker_text = RECORDING_UNPACKER, rlim_t file_size_limit = 0,
             int router_ms = 20000, const std::string& hold = "") {
        Cable cable;
        if (!cable.ok) {
            ADD_FAILURE() << "private network namespaces are needed (run as root)";
            return false;
        }
        unpacker = program("unpacker", unpacker_text);
        LabProcess router, server;
        std::string into = root, with = unpacker;
        if (!start_in_namespace(router, cable.client,
                                [&] { return receive(into, with, file_size_limit); }) ||
            !start_in_namespace(server, cable.server, [&] { return serve(files, then, hold); }))
            return false;
        bool ended = finish_processes({&router}, router_ms);
        finish_processes({&server}, 100);
        output = router.output;
        return ended && exit_code(router) == 0;
    }
    // Names in the root, the unpacker's folder left out, sorted.
    std::string listing() const {
        std::string command = "cd '" + root + "' && ls -A | grep -v '^.unpacked$' | tr '\\n' ' '";
        FILE* p = popen(command.c_str(), "r");
        char text[4096] = {};
        size_t n = fread(text, 1, sizeof text - 1, p);
        pclose(p);
        return std::string(text, n);
    }
    std::string unpacked(int run, const char* what = "data") const {
        return folder.read("root/.unpacked/" + std::to_string(run) + "." + what);
    }
};

const char SCRIPT[] =
    ":local eth\n"
    ":set eth [/interface ethernet get [/interface ethernet find mac-address=02:00:00:00:02:01] "
    "name]\n"
    "/interface enable $eth\n"
    "/ip address add address=10.0.0.2/24 interface=$eth\n"
    "/port set [/port find] baud-rate=9600\n";

}  // namespace

// Every package goes into an unpacker run of its own ("-r ROOT -"), whole
// and in order: one of a single block, ".scr" (a package by its name),
// one that fills several blocks and pieces. The script, named by the
// server, lands in the root under that name and ends the transfer at once:
// the router does not wait for another file.
TEST(ReceivedFiles, PackagesGoIntoTheUnpackerAndTheScriptIntoTheRoot) {
    Transfer t;
    std::vector<Outgoing> files = {{"base.vpk", byte_pattern(1452, 1)},
                                   {".scr", byte_pattern(1453, 2)},
                                   {"big.vpk", byte_pattern(10000, 3)},
                                   {"autorun.scr", SCRIPT}};
    ASSERT_TRUE(t.run(files, Then::STOP, RECORDING_UNPACKER, 0, 10000)) << t.output;
    EXPECT_EQ(t.output, "unpacked 0\nunpacked 1\nunpacked 2\nWriting configuration...\nresult 1\n");
    for (int run = 0; run < 3; ++run) {
        EXPECT_TRUE(t.unpacked(run) == files[static_cast<size_t>(run)].content) << "run " << run;
        EXPECT_EQ(t.unpacked(run, "args"), "-r " + t.root + " -\n");
    }
    EXPECT_EQ(t.folder.read("root/autorun.scr"), SCRIPT);
    EXPECT_EQ(t.listing(), "autorun.scr ");
}

// A router that keeps its old configuration gets an empty configuration
// file: the transfer ends there and no script is written.
TEST(ReceivedFiles, EmptyConfigurationEndsTheTransferWithoutAScript) {
    Transfer t;
    ASSERT_TRUE(t.run({{"base.vpk", byte_pattern(3000, 4)}, {"autorun.scr", ""}})) << t.output;
    EXPECT_EQ(t.output, "unpacked 0\nresult 1\n");
    EXPECT_EQ(t.listing(), "");
}

// The script's name comes from the network: one that would leave the new
// system's root, or a link already there, is refused, and nothing is
// created outside the root.
TEST(ReceivedFiles, ScriptNamesThatLeaveTheRootAreRefused) {
    for (const char* name : {"../x.scr", "a/b.scr", "link.scr"}) {
        Transfer t;
        std::string outside = t.folder.path + "/outside";
        FILE* f = fopen(outside.c_str(), "w");
        fputs("untouched", f);
        fclose(f);
        ASSERT_EQ(symlink(outside.c_str(), (t.root + "/link.scr").c_str()), 0);
        ASSERT_TRUE(t.run({{"base.vpk", byte_pattern(100, 5)}, {name, SCRIPT}})) << t.output;
        EXPECT_EQ(t.output,
                  "unpacked 0\nWriting configuration...\n\nFATAL ERROR: couldn't make script\n"
                  "result 0\n")
            << name;
        EXPECT_EQ(t.folder.read("outside"), "untouched");
        EXPECT_EQ(t.folder.read("x.scr"), "<missing>");
        EXPECT_EQ(t.listing(), "link.scr ") << name;
    }
}

// What ends the installation: a message where a data block belongs (the
// unpacker gets the end of its input and is waited for before the
// message); an unpacker that stops taking data, refuses the last bytes or
// fails (an empty line only, and no script); a script that cannot be
// written whole (the system's reason).
TEST(ReceivedFiles, FailuresEndTheInstallationWithTheirLines) {
    {
        Transfer t;
        ASSERT_TRUE(t.run({{"base.vpk", byte_pattern(2000, 6)}}, Then::TEXT_FOR_DATA)) << t.output;
        EXPECT_EQ(t.output,
                  "unpacked 0\nunpacked 1\n\nFATAL ERROR: bad network connection\nresult 0\n");
        EXPECT_EQ(t.unpacked(1), "");
    }
    {
        Transfer t;
        ASSERT_TRUE(t.run({{"base.vpk", byte_pattern(300000, 7)}}, Then::STOP, QUITTING_UNPACKER))
            << t.output;
        EXPECT_EQ(t.output, "\nresult 0\n");
    }
    // A package of one block still sits in the pipe's stream when it is
    // complete: an unpacker that has closed its input refuses it only at the
    // close. One that took it but failed says so only by its exit status.
    {
        Transfer t;
        ASSERT_TRUE(t.run({{"base.vpk", byte_pattern(1000, 9)}, {"autorun.scr", SCRIPT}},
                          Then::STOP, CLOSING_UNPACKER, 0, 20000, t.root + "/.unpacked/closed"))
            << t.output;
        EXPECT_EQ(t.output, "\nresult 0\n");
    }
    {
        Transfer t;
        ASSERT_TRUE(t.run({{"base.vpk", byte_pattern(1000, 10)}, {"autorun.scr", SCRIPT}},
                          Then::STOP, FAILING_UNPACKER))
            << t.output;
        EXPECT_EQ(t.output, "\nresult 0\n");
        EXPECT_EQ(t.listing(), "");
    }
    {
        Transfer t;
        std::string long_script(6000, '#');
        ASSERT_TRUE(t.run({{"base.vpk", byte_pattern(100, 8)}, {"autorun.scr", long_script}},
                          Then::STOP, RECORDING_UNPACKER, 4096))
            << t.output;
        EXPECT_EQ(t.output,
                  "unpacked 0\nWriting configuration...\n\n"
                  "FATAL ERROR: installation failed: File too large\nresult 0\n");
    }
}

TEST(ReceivedFiles, ScriptIsANameLongerThanFourCharactersEndingInScr) {
    EXPECT_TRUE(is_script_name("autorun.scr"));
    EXPECT_TRUE(is_script_name("x.scr"));
    EXPECT_FALSE(is_script_name(".scr"));
    EXPECT_FALSE(is_script_name("base.vpk"));
    EXPECT_FALSE(is_script_name("autorun.scr.vpk"));
    EXPECT_FALSE(is_script_name("autorun.SCR"));
}

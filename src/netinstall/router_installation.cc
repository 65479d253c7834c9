#include "netinstall/router_installation.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "netinstall/closing_exchange.h"
#include "netinstall/file_sender.h"
#include "netinstall/line_editor.h"
#include "netinstall/reliable_send.h"
#include "netinstall/router_script.h"

namespace {

// The numeric answers are typed into 10 bytes: at most 9 digits.
constexpr size_t NUMBER_SIZE = 10;

// Asks with proposed until the answer starts with a digit (after blanks)
// and gives at most limit; text after the digits is ignored.
unsigned long ask_number(const char* prompt, const char* proposed, unsigned long limit) {
    char text[NUMBER_SIZE];
    for (;;) {
        edit_line(prompt, proposed, text, sizeof text);
        const char* start = text;
        while (isspace(static_cast<unsigned char>(*start))) ++start;
        if (!isdigit(static_cast<unsigned char>(*start))) continue;
        char* end = nullptr;
        unsigned long value = strtoul(start, &end, 10);
        if (end != start && value <= limit) return value;
    }
}

// The end of a question whose input has ended: a line end, nothing sent.
bool left_at_end_of_input() {
    printf("\n");
    fflush(stdout);
    return false;
}

// Prints message and waits for one key.
void fail_with_key(const char* message) {
    puts(message);
    fflush(stdout);
    getchar();
}

// Sends one file; ended tells whether the router ended the conversation
// meanwhile.
bool send_file(NetEndpoint& endpoint, LinkState& link, const char* source, bool from_file,
               bool& ended) {
    FileSender* sender = new (std::nothrow) FileSender;
    if (sender == nullptr) return false;
    init_file_sender(*sender, endpoint, link);
    bool sent = start_file(*sender, source, from_file) && transfer_file(*sender);
    ended = sender->peer_ended;
    close_file_sender(*sender);
    delete sender;
    return sent;
}

}  // namespace

bool installation_fits(const std::vector<std::string>& paths, long script_length) {
    uint64_t numbers = file_sequence_numbers(script_length);
    for (const std::string& path : paths) {
        struct stat status;
        numbers += file_sequence_numbers(stat(path.c_str(), &status) == 0 ? status.st_size : 0);
    }
    return files_fit_conversation(numbers);
}

bool send_installation(RouterInstaller& installer, const std::vector<std::string>& paths, bool keep,
                       const char* script) {
    RouterEntry* router = installer.selected;
    if (router == nullptr) return false;
    NetEndpoint& endpoint = *router->endpoint;
    LinkState& link = installer.link;
    uint8_t datagram[MAX_DATAGRAM];
    uint8_t reply[RECEIVE_BUFFER_SIZE];

    puts("\n\nSending offer...");
    fflush(stdout);
    memcpy(link.own_mac, endpoint.mac, MAC_LENGTH);
    memcpy(link.peer_mac, router->mac, MAC_LENGTH);
    link.recv_seq = 1;
    link.send_seq = 1;
    int length = build_offer(link, datagram, keep);
    int answer = send_reliably(endpoint, link, datagram, length, reply, OFFER_WAIT_US, OFFER_TRIES);
    if (answer < 0) {
        fail_with_key("No response from router (press any key)");
        return false;
    }
    if (!payload_begins_with(reply, answer, TAG_ACCEPTANCE)) {
        fail_with_key("Bad response from router (press any key)");
        return false;
    }

    // The router partitions and formats its disk meanwhile.
    puts("Formating and partitioning harddisk...");
    fflush(stdout);
    link.send_seq++;
    length = build_acknowledgement(link, datagram);
    answer =
        send_reliably(endpoint, link, datagram, length, reply, START_WAIT_US, START_WAIT_TRIES);
    if (answer < 0 || !payload_begins_with(reply, answer, TAG_START)) return false;
    send_datagram(endpoint, datagram, build_acknowledgement(link, datagram));

    bool ended = false;
    for (const std::string& path : paths) {
        if (!send_file(endpoint, link, path.c_str(), true, ended)) return false;
        link.send_seq++;
        // The router took this file whole and then ended: the rest and the
        // script never reach it.
        if (ended) {
            puts(STOPPED_BY_ROUTER);
            fflush(stdout);
            return false;
        }
    }
    send_file(endpoint, link, script, false, ended);
    link.send_seq++;

    puts("");
    puts("Software installed.");
    puts("Press ENTER to reboot");
    fflush(stdout);
    // A "TERM" that answered the script was the router's end of the
    // conversation: it has been acknowledged, and nothing more will come.
    if (!ended) wait_for_end(endpoint, link, ConversationSide::server);
    return true;
}

bool install_router(RouterInstaller& installer, InstallOrder& order) {
    RouterEntry* router = installer.selected;
    if (router == nullptr) return false;
    std::vector<std::string> paths;
    char path[PACKAGE_PATH_SIZE];
    while (next_package_path(order, path)) paths.push_back(path);

    printf("\n\n");
    // Sequence numbers do not wrap: an order too big for one conversation
    // is refused before anything reaches the router.
    if (!installation_fits(paths, ROUTER_SCRIPT_SIZE - 1)) {
        fail_with_key(
            "FATAL ERROR: Packages too large for one network installation "
            "(press any key)");
        return false;
    }
    bool keep = ask_yes_no_with_cursor("Keep config?");
    const char* script = "";
    if (!keep) {
        // A console whose input has ended leaves the router's installation
        // instead of asking for ever.
        in_addr address, gateway;
        if (!ask_address("Enter routers IP address", address)) return left_at_end_of_input();
        printf("\n");
        unsigned long prefix_bits =
            ask_number("Enter routers netmask bit count", "24", MAX_PREFIX_BITS);
        printf("\n");
        if (!ask_address("Enter routers default gateway address", gateway))
            return left_at_end_of_input();
        printf("\n");
        unsigned long baud_rate =
            ask_number("Enter serial console baud rate", "9600", MAX_NUMBER_ANSWER);
        script = build_router_script(router->mac, address, prefix_bits, gateway, baud_rate);
    }
    return send_installation(installer, paths, keep, script);
}

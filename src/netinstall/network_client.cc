#include "netinstall/network_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "console/dialogs.h"
#include "disk/disk_preparation.h"
#include "netinstall/closing_exchange.h"
#include "netinstall/disk_label.h"
#include "netinstall/install_protocol.h"
#include "netinstall/received_files.h"
#include "startup/kernel_modules.h"
#include "startup/modes.h"
#include "startup/process_state.h"

namespace {

// Left on the new system after the last package, as the CD-ROM
// installation does; its post-install script sees it.
const char INSTALL_MARKER[] = "/mnt/CDINSTALL";

void say(const char* line) {
    puts(line);
    fflush(stdout);
}

// Everything between finding the interfaces and the end of the
// conversation; false after a failure that has printed its lines.
bool install_through(InstallContext& ctx, InstallClient& client) {
    if (!detect_disk(ctx)) return false;
    char label[DISK_LABEL_SIZE];
    read_disk_label(label, sizeof label);
    show_router_identity(client, label);
    bool keep = false;
    wait_for_server(client, label, keep);
    say("");
    // The server repeats its acknowledgement meanwhile; the queued repeats
    // are taken as stale by the next waits.
    if (!prepare_disk(ctx, keep)) return false;
    say("");
    if (!request_start(client)) {
        say("\nFATAL ERROR: server refused to install");
        return false;
    }
    if (!receive_files(client, NEW_SYSTEM)) return false;
    int marker = creat(INSTALL_MARKER, 0600);
    if (marker >= 0) close(marker);
    if (!finish_installation(ctx)) return false;
    // The new system is complete: an interrupt no longer aborts.
    abort_disarmed = 1;
    end_conversation(client);
    return true;
}

}  // namespace

void show_router_identity(InstallClient& client, const char* label) {
    printf("\n");
    for (unsigned i = 0; interface_mac_text(client.interfaces, i) != nullptr; ++i)
        printf("mac-address: %s\n", interface_mac_text(client.interfaces, i));
    printf("disk label: %s\n", label);
    fflush(stdout);
}

void wait_for_server(InstallClient& client, const char* label, bool& keep) {
    for (;;) {
        say("\nWaiting for installation server...");
        if (accept_offer(client, label, keep) && create_file_receiver(client)) break;
        say("\nCouldn't find any installation server on network");
        // An announcement could not be sent (a card was taken down, say):
        // no tight loop, and the cards are opened (and brought up) again.
        pause_us(ANNOUNCE_PAUSE_US);
        list_client_interfaces(client);
    }
    printf("Found server at %s\n", format_mac(client.link.peer_mac));
    fflush(stdout);
}

void end_conversation(InstallClient& client) {
    say("");
    say("Software installed.");
    say("Press ENTER to reboot");
    wait_for_end(*client.server_endpoint, client.link, ConversationSide::client);
}

bool install_from_network(InstallContext& ctx) {
    // Raw mode: the closing exchange at the end sees a single key.
    show_welcome("remote installation");
    load_modules(network_modules);
    InstallClient client;
    open_install_client(client);
    bool installed = false;
    if (!has_interfaces(client.interfaces)) {
        say("\nFATAL ERROR: no network card found");
    } else {
        installed = install_through(ctx, client);
    }
    close_install_client(client);
    return installed;
}

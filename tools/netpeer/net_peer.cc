#include "net_peer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "floppy/crc32.h"
#include "netinstall/client_conversation.h"
#include "netinstall/network_client.h"
#include "netinstall/received_files.h"
#include "netinstall/router_installation.h"
#include "netinstall/screen_text.h"

namespace {

// A name from the network as the peer prints it.
std::string shown(const char* name) {
    char text[NEXT_FILE_NAME_SIZE];
    screen_text(name, text, sizeof text);
    return text;
}

// The file name in folder, opened for writing: a plain name only (no '/',
// not "." or ".."), and never through a link that is already there, so
// that nothing outside the folder is written; -1 otherwise.
int create_in_folder(const std::string& folder, const char* name) {
    if (name[0] == '\0' || strchr(name, '/') != nullptr || strcmp(name, ".") == 0 ||
        strcmp(name, "..") == 0)
        return -1;
    std::string path = folder + "/" + name;
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// Receives the current file into folder; its CRC-32, or false (a file it
// cannot write, a broken transfer, a write that failed).
bool store_file(InstallClient& client, const std::string& folder, const char* name, uint32_t& crc) {
    int fd = create_in_folder(folder, name);
    FILE* out = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (out == nullptr) {
        if (fd >= 0) close(fd);
        printf("cannot write %s\n", shown(name).c_str());
        return false;
    }
    static uint8_t data[4096];
    crc = 0;
    int n;
    bool written = true;
    while ((n = receive_file_data(*client.receiver, data, sizeof data)) > 0) {
        if (fwrite(data, 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) written = false;
        crc = crc32_ieee_update(crc, data, static_cast<size_t>(n));
    }
    if (fclose(out) != 0) written = false;
    if (!written) printf("cannot write %s\n", shown(name).c_str());
    return n == 0 && written;
}

}  // namespace

int run_client_peer(const PeerOptions& options) {
    InstallClient client;
    open_install_client(client);
    if (!has_interfaces(client.interfaces)) {
        puts("\nFATAL ERROR: no network card found");
        close_install_client(client);
        return 1;
    }
    show_router_identity(client, options.label.c_str());
    bool keep = false;
    wait_for_server(client, options.label.c_str(), keep);
    printf("keep: %s\n\n", keep ? "yes" : "no");
    fflush(stdout);
    usleep(static_cast<useconds_t>(options.prepare_ms) * 1000);
    if (!request_start(client)) {
        puts("\nFATAL ERROR: server refused to install");
        close_install_client(client);
        return 1;
    }
    char name[NEXT_FILE_NAME_SIZE];
    int size = 0;
    while (next_file(client, name, size) && size != 0) {
        uint32_t crc = 0;
        if (!store_file(client, options.folder, name, crc)) {
            puts("\nFATAL ERROR: bad network connection");
            close_install_client(client);
            return 1;
        }
        printf("received %s: %d bytes, crc %08x\n", shown(name).c_str(), size, crc);
        fflush(stdout);
        if (is_script_name(name)) break;
    }
    end_conversation(client);
    puts("conversation closed");
    fflush(stdout);
    close_install_client(client);
    return 0;
}

int run_server_peer(const PeerOptions& options) {
    RouterInstaller installer;
    open_router_installer(installer);
    printf("Looking for routers on %u %s...\n", installer.interfaces.count,
           installer.interfaces.count == 1 ? "interface" : "interfaces");
    fflush(stdout);
    if (listen_for_router(installer, options.router.c_str(),
                          int64_t{options.listen_seconds} * 1000000) == nullptr) {
        puts("no router heard");
        close_router_installer(installer);
        return 1;
    }
    char label[LABEL_SIZE];
    screen_text(installer.selected->label, label, sizeof label);
    printf("router %s (%s)\n", format_mac(installer.selected->mac), label);
    printf("on the interface %s\n", format_mac(installer.selected->endpoint->mac));
    bool sent = send_installation(installer, options.files, options.keep, options.script.c_str());
    if (sent) puts("conversation closed");
    fflush(stdout);
    close_router_installer(installer);
    return sent ? 0 : 1;
}

bool parse_peer_options(int argc, char** argv, int first, PeerOptions& options, bool& server) {
    if (first >= argc) return false;
    std::string role = argv[first];
    if (role != "--client" && role != "--server") return false;
    server = role == "--server";
    for (int i = first + 1; i < argc; ++i) {
        std::string option = argv[i];
        bool has_value = i + 1 < argc;
        if (option == "--label" && has_value) {
            options.label = argv[++i];
        } else if (option == "--prepare-ms" && has_value) {
            options.prepare_ms = atoi(argv[++i]);
        } else if (option == "--folder" && has_value) {
            options.folder = argv[++i];
        } else if (option == "--keep") {
            options.keep = true;
        } else if (option == "--router" && has_value) {
            options.router = argv[++i];
        } else if (option == "--script" && has_value) {
            options.script = argv[++i];
        } else if (option == "--listen-seconds" && has_value) {
            options.listen_seconds = atoi(argv[++i]);
        } else if (option.compare(0, 2, "--") == 0 || !server) {
            return false;
        } else {
            options.files.push_back(option);
        }
    }
    return true;
}

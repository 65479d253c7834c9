// brindlex-netpeer: a peer of the installation protocol for the network
// lab, run inside a private network namespace that it enters itself:
//   brindlex-netpeer --netns PATH --client ... | --server ...
// It never runs in the namespace it was started in, so it cannot touch the
// machine's own interfaces.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net_namespace.h"
#include "net_peer.h"

int main(int argc, char** argv) {
    if (argc < 4 || strcmp(argv[1], "--netns") != 0) {
        fprintf(stderr, "usage: brindlex-netpeer --netns PATH %s", PEER_USAGE);
        return 2;
    }
    PeerOptions options;
    bool server = false;
    if (!parse_peer_options(argc, argv, 3, options, server)) {
        fprintf(stderr, "usage: brindlex-netpeer --netns PATH %s", PEER_USAGE);
        return 2;
    }
    int ns = open(argv[2], O_RDONLY | O_CLOEXEC);
    if (ns < 0 || namespace_inode(ns) == own_namespace_inode() || setns(ns, CLONE_NEWNET) != 0) {
        fprintf(stderr, "brindlex-netpeer: %s is not a private network namespace it can enter\n",
                argv[2]);
        return 2;
    }
    close(ns);
    return server ? run_server_peer(options) : run_client_peer(options);
}

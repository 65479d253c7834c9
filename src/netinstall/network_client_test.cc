#include "netinstall/network_client.h"

#include <gtest/gtest.h>

#include <string>

#include "net_peer.h"
#include "netinstall/netinstall_test_support.h"

// A router whose only card is taken down while it announces itself: the
// failed announcement is reported once, a cycle's pause later the card is
// opened (and brought up) again, and the router goes on announcing until
// a server's offer comes.
TEST(NetworkClient, AnnouncesAgainAfterItsCardWasTakenDown) {
    Cable cable;
    ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
    LabProcess router;
    ASSERT_TRUE(start_in_namespace(router, cable.client, [] {
        InstallClient client;
        open_install_client(client);
        show_router_identity(client, "lab");
        bool keep = true;
        wait_for_server(client, "lab", keep);
        printf("keep %d\n", keep);
        close_install_client(client);
        return 0;
    }));
    ASSERT_TRUE(wait_for_output(router, "Waiting for installation server...\n", 10000));
    ASSERT_TRUE(run_ip(cable.client, {"link", "set", "cli0", "down"}));
    ASSERT_TRUE(wait_for_output(router, "Couldn't find", 10000));
    // Some announcement cycles with the card up again, and no server yet.
    EXPECT_FALSE(wait_for_output(router, "Found server", 2500));
    LabProcess server;
    PeerOptions serving;
    serving.listen_seconds = 20;
    ASSERT_TRUE(
        start_in_namespace(server, cable.server, [serving] { return run_server_peer(serving); }));
    EXPECT_TRUE(finish_processes({&router}, 20000));
    finish_processes({&server}, 100);
    size_t failures = 0;
    for (size_t at = 0; (at = router.output.find("Couldn't find", at)) != std::string::npos; ++at)
        ++failures;
    ASSERT_EQ(failures, 1u);
    EXPECT_EQ(router.output,
              "\nmac-address: 02:00:00:00:02:01\ndisk label: lab\n"
              "\nWaiting for installation server...\n"
              "\nCouldn't find any installation server on network\n"
              "\nWaiting for installation server...\n"
              "Found server at 02:00:00:00:01:01\nkeep 0\n");
}

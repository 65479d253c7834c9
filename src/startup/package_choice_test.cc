// The menu-driven installations' way through the remote branch, on a
// pseudo-terminal inside a private network namespace joined by a cable to a
// scripted router: back to the menu after 'q' in the router list, and after
// a failed router installation back to the menu (CD-ROM) or out of the
// installation (hard-disk image).
#include "startup/package_choice.h"

#include <gtest/gtest.h>

#include <string>

#include "netinstall/netinstall_test_support.h"
#include "package_directory.h"
#include "terminal_session.h"

namespace {

const char* const MENU = "Welcome to Brindlex Router Software installation";
const char* const LIST = "Looking for routers on 1 interface...";

// The child's exit code: 1 when the operator chose to install locally, 0
// when the menu was left otherwise, 100 when the packages were refused.
int choose(const NetNamespace& ns, const std::string& directory, RemoteFailure on_failure) {
    if (!enter_namespace(ns)) return 101;
    PackageMenu menu;
    open_package_menu(menu, directory.c_str());
    if (!scan_packages(menu, false)) return 100;
    return choose_local_packages(menu, on_failure) ? 1 : 0;
}

// How often the menu was drawn.
int menus(const std::string& output) {
    int count = 0;
    for (size_t at = output.find(MENU); at != std::string::npos; at = output.find(MENU, at + 1)) {
        ++count;
    }
    return count;
}

class PackageChoice : public ::testing::Test {
  protected:
    Cable cable;
    PackageDirectory packages;

    void SetUp() override {
        ASSERT_TRUE(cable.ok) << "private network namespaces are needed (run as root)";
        packages.add("system.vpk", "system", {}, "Base system");
        packages.add("ppp.vpk", "ppp", {"system"}, "Point-to-point");
    }

    // A failed router installation: the router is picked, keeps its
    // configuration, and answers the offer with something else than an
    // acceptance.
    TerminalSession failed_remote(RemoteFailure on_failure, const std::string& after) {
        LabProcess router;
        EXPECT_TRUE(start_in_namespace(router, cable.client,
                                       [] { return scripted_router("cli0", CLIENT_MAC, "NOPE"); }));
        EXPECT_TRUE(wait_for_output(router, "ready\n", 10000));
        std::string directory = packages.path();
        TerminalSession s = run_on_terminal(
            [&] { return choose(cable.server, directory, on_failure); },
            {{"system (depends on nothing):", "r"},
             {LIST, "", [&] { send_keys(router, "lab-router\n"); }},
             {"Found 1 router: ", "\n"},
             {"Keep config? [y/n]:", "y"},
             {"Bad response from router (press any key)", "k"},
             {after, after.empty() ? "" : "i"}});
        finish_processes({&router}, 500);
        return s;
    }
};

TEST_F(PackageChoice, RouterListQuitReturnsToTheMenu) {
    std::string directory = packages.path();
    TerminalSession s = run_on_terminal(
        [&] { return choose(cable.server, directory, RemoteFailure::ENDS_INSTALLATION); },
        // The second q is for the menu that comes back.
        {{"system (depends on nothing):", "r"}, {LIST, "qq"}});
    ASSERT_EQ(s.error, "") << s.output;
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_EQ(menus(s.output), 2);
    EXPECT_NE(s.output.find("Installation canceled"), std::string::npos) << s.output;
}

TEST_F(PackageChoice, FailedRouterInstallationEndsTheImageInstallation) {
    TerminalSession s = failed_remote(RemoteFailure::ENDS_INSTALLATION, "");
    ASSERT_EQ(s.error, "") << s.output;
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_EQ(menus(s.output), 1);
    EXPECT_EQ(s.output.find("Installation canceled"), std::string::npos) << s.output;
}

TEST_F(PackageChoice, FailedRouterInstallationReturnsToTheCdromMenu) {
    TerminalSession s = failed_remote(RemoteFailure::BACK_TO_MENU, MENU);
    ASSERT_EQ(s.error, "") << s.output;
    EXPECT_EQ(s.exit_code, 1);  // 'i' in the second menu
    EXPECT_EQ(menus(s.output), 2);
}

}  // namespace

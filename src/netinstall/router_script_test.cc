#include "netinstall/router_script.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const uint8_t ROUTER[6] = {0x02, 0x00, 0x00, 0x00, 0x02, 0x01};

in_addr address(const char* text) {
    in_addr a;
    inet_aton(text, &a);
    return a;
}

}  // namespace

// The examples of the installation: 10.0.0.2/24 with no gateway and 9600
// baud gives five lines; a second installation in the same run answered
// with 0.0.0.0 has none of them; an empty answer set gives an empty text.
TEST(RouterScript, BuildsTheScriptAfreshFromTheAnswers) {
    std::string first =
        build_router_script(ROUTER, address("10.0.0.2"), 24, address("0.0.0.0"), 9600);
    EXPECT_EQ(first,
              ":local eth\n"
              ":set eth [/interface ethernet get [/interface ethernet find "
              "mac-address=02:00:00:00:02:01] name]\n"
              "/interface enable $eth\n"
              "/ip address add address=10.0.0.2/24 interface=$eth\n"
              "/port set [/port find] baud-rate=9600\n");

    std::string second =
        build_router_script(ROUTER, address("0.0.0.0"), 24, address("192.168.1.1"), 0);
    EXPECT_EQ(second, "/ip route add gateway=192.168.1.1\n");

    EXPECT_STREQ(build_router_script(ROUTER, address("10.0.0.2"), 0, address("0.0.0.0"), 0), "");

    // The longest answers still fit whole.
    std::string longest = build_router_script(ROUTER, address("255.255.255.255"), 32,
                                              address("255.255.255.254"), 4294967294UL);
    EXPECT_NE(longest.find("address=255.255.255.255/32"), std::string::npos);
    EXPECT_NE(longest.find("gateway=255.255.255.254\n"), std::string::npos);
    EXPECT_NE(longest.find("baud-rate=4294967294\n"), std::string::npos);
    EXPECT_LT(longest.size(), static_cast<size_t>(ROUTER_SCRIPT_SIZE));
}

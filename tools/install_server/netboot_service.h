// The installation server's network boot service: Debian's dnsmasq on one
// interface, answering the PXE requests of routers that boot from the
// network (as the segment's DHCP server, or as a proxy beside the one the
// segment has) and serving the network boot image (brindlex-make-netboot)
// over TFTP, for as long as the server runs. DNS stays off.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// What the command line asks of the service.
struct NetbootSettings {
    std::string tree;       // the TFTP tree
    std::string interface;  // the one interface served
    bool proxy = false;     // --proxy-dhcp: the segment has a DHCP server
};

// The segment the service leads as its DHCP server by default: the address
// the interface gets for as long as the service runs, and the leases.
constexpr const char* NETBOOT_SERVER_ADDRESS = "192.168.253.1";
constexpr int NETBOOT_PREFIX_BITS = 24;
constexpr const char* NETBOOT_NETMASK = "255.255.255.0";
constexpr const char* NETBOOT_FIRST_LEASE = "192.168.253.100";
constexpr const char* NETBOOT_LAST_LEASE = "192.168.253.199";

// The outcome of the checks made before anything is started.
enum class NetbootCheck {
    READY,
    NO_DNSMASQ,    // no dnsmasq program on the PATH (or in /usr/sbin)
    NO_INTERFACE,  // the interface does not exist
    NO_LOADER,     // the tree has no pxelinux.0
    NO_SUBNET,     // --proxy-dhcp on an interface without an IPv4 address
};

// The facts the service is started from, found by check_netboot.
struct NetbootPlan {
    std::string dnsmasq;       // the program's path
    std::string proxy_subnet;  // with --proxy-dhcp: the interface's network
};

// Checks the settings; anything but READY comes with its message in error.
NetbootCheck check_netboot(const NetbootSettings& settings, NetbootPlan& plan, std::string& error);

// dnsmasq's command line for the settings (program path first).
std::vector<std::string> dnsmasq_arguments(const NetbootSettings& settings,
                                           const NetbootPlan& plan);

// The running service.
struct NetbootService {
    pid_t dnsmasq = -1;     // its process, in a process group of its own
    int output_fd = -1;     // its standard output and error, read end
    std::string interface;  // where the address was added
    bool address_added = false;
    std::string pending;  // output not yet ended by a line feed
    bool ready = false;   // dnsmasq said it serves the tree
};

// Gives the interface the service's address (unless a proxy), starts
// dnsmasq and waits until it serves (or has ended: false, with what it
// said relayed and the reason in error; everything is taken back).
bool start_netboot(NetbootService& service, const NetbootSettings& settings,
                   const NetbootPlan& plan, std::string& error);

// Relays dnsmasq's complete lines to standard output, each with the prefix
// "netboot: ", waiting at most timeout_ms for some; false once dnsmasq has
// closed its output (it ended).
bool relay_netboot_output(NetbootService& service, int timeout_ms);

// Stops dnsmasq (SIGTERM, then SIGKILL), relays its last lines and takes
// the address back. Safe to call twice.
void stop_netboot(NetbootService& service);

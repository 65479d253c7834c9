// The server's side of the network installation, second step: the chosen
// router is asked about, offered the installation, given time to prepare
// its disk, sent every package in installation order and then its
// configuration script, and the conversation ends with the closing
// exchange.
#pragma once

#include <string>
#include <vector>

#include "netinstall/router_installer.h"
#include "packages/install_order.h"

// Installs the selected router with the packages of order: asks "Keep
// config?" and, if not, the router's address, netmask bit count, gateway
// and serial speed, then sends_installation. False after any failure (the
// message printed, some waiting for a key).
bool install_router(RouterInstaller& installer, InstallOrder& order);

// Whether the files at paths and a script of script_length bytes fit into
// one conversation (sequence numbers do not wrap). A file that cannot be
// looked at counts as empty: it fails later, when it is opened.
bool installation_fits(const std::vector<std::string>& paths, long script_length);

// The conversation with the selected router: the offer ("keep" when keep),
// the acceptance, the wait for the start while the router prepares its
// disk, every file of paths in order, the script from memory, and the
// closing exchange after "Press ENTER to reboot". True after a complete
// installation; the configuration's own transfer does not change that.
bool send_installation(RouterInstaller& installer, const std::vector<std::string>& paths, bool keep,
                       const char* script);

// The netmask bit count and the baud rate are asked again until they are
// digits that give at most MAX_PREFIX_BITS / MAX_NUMBER_ANSWER.
constexpr unsigned long MAX_PREFIX_BITS = 32;
constexpr unsigned long MAX_NUMBER_ANSWER = 4294967294UL;

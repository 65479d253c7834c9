#include "startup/kernel_modules.h"

#include "console/child_process.h"

const char* const kernel_modules[] = {
    "fat", "vfat", "isofs", "cdrom", "ide-cd", "usbcore", "usb-uhci", "usb-ohci", "hid", nullptr,
};

const char* const network_modules[] = {
    "crc32",   "mii",     "slhc",     "8390",      "hp100",       "ne2k-pci",    "lance",
    "3c509",   "3c59x",   "sis900",   "8139too",   "pcnet32",     "winbond-840", "dmfe",
    "tulip",   "ns83820", "sundance", "via-rhine", "e100",        "e1000",       "sk98lin",
    "tg3",     "natsemi", "b44",      "tlan",      "velocityget", "il",          "r8169",
    "rtl8150", "pegasus", nullptr,
};

void load_modules_with(const char* loader, const char* const* modules) {
    for (const char* const* name = modules; *name; name++) {
        run_program(nullptr, loader, *name, nullptr);
    }
}

void load_modules(const char* const* modules) {
    load_modules_with("/sbin/insmod", modules);
}

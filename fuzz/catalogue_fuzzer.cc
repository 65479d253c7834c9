// The catalogue of a medium's directory: the input is cut at every line
// "%%" into the "defpacks" file (the first piece) and up to eight package
// files, written into a scratch directory that the catalogue scans as the
// installer does. A package the catalogue takes must come out whole (a
// terminated description, every dependency record), the display order must
// hold every package once, and the installation order every selected
// package once, after the packages it needs.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "packages/install_order.h"
#include "packages/package_catalogue.h"

namespace {

constexpr size_t MAX_PACKAGES = 8;
const char SEPARATOR[] = "\n%%\n";

std::string scratch;

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    check(f != nullptr);
    if (size > 0) check(fwrite(data, 1, size, f) == size);
    check(fclose(f) == 0);
}

void clear_scratch() {
    for (size_t i = 0; i < MAX_PACKAGES; ++i)
        unlink((scratch + "/p" + std::to_string(i) + ".vpk").c_str());
    unlink((scratch + "/defpacks").c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch = make_scratch("catalogue");
    atexit([] {
        clear_scratch();
        rmdir(scratch.c_str());
    });
    // The catalogue's messages ("FATAL ERROR: Bad package ...") go nowhere.
    check(freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clear_scratch();
    std::vector<std::pair<const uint8_t*, size_t>> pieces;
    const uint8_t* at = data;
    const uint8_t* end = data + size;
    while (pieces.size() <= MAX_PACKAGES) {
        const uint8_t* cut = static_cast<const uint8_t*>(
            memmem(at, size_t(end - at), SEPARATOR, sizeof SEPARATOR - 1));
        if (cut == nullptr) {
            pieces.push_back({at, size_t(end - at)});
            break;
        }
        pieces.push_back({at, size_t(cut - at)});
        at = cut + sizeof SEPARATOR - 1;
    }
    write_file(scratch + "/defpacks", pieces[0].first, pieces[0].second);
    for (size_t i = 1; i < pieces.size(); ++i)
        write_file(scratch + "/p" + std::to_string(i - 1) + ".vpk", pieces[i].first,
                   pieces[i].second);

    PackageList list;
    init_package_list(list, scratch.c_str());
    if (!scan_packages(list, false)) {
        check(list.count == 0 && list.entries == nullptr);
        return 0;
    }
    check(list.count == int(pieces.size()) - 1);
    for (int i = 0; i < list.count; ++i) {
        const PackageInfo& p = list.entries[i];
        check(p.description != nullptr);
        check(strlen(p.description) < size);
        check(p.dependency_count == 0 || p.dependencies != nullptr);
        for (int d = 0; d < p.dependency_count; ++d)
            (void)find_package(list, p.dependencies[d].name);
        check(!p.selected);
    }

    PackageInfo** shown = display_order(list);
    check(shown != nullptr);
    std::vector<int> times_shown(size_t(list.count), 0);
    for (int i = 0; i < list.count; ++i) {
        check(shown[i] >= list.entries && shown[i] < list.entries + list.count);
        ++times_shown[size_t(shown[i] - list.entries)];
    }
    for (int n : times_shown) check(n == 1);
    // Turn the packages on one after another, as an operator might.
    select_minimum(list);
    for (int i = 0; i < list.count; ++i) toggle_selection(list, shown, (i * 7 + 3) % list.count);

    InstallOrder order;
    check(build_install_order(order, list));
    std::vector<int> placed(size_t(list.count), -1);
    char path[PACKAGE_PATH_SIZE];
    char name[PACKAGE_NAME_BUFFER];
    int position = 0;
    while (next_package_path(order, path)) {
        int index = order.order[order.position - 1];
        check(index >= 0 && index < list.count);
        check(placed[size_t(index)] < 0);
        placed[size_t(index)] = position++;
        check(strcmp(path, list.entries[index].path) == 0);
        current_package_name(order, name);
        check(memchr(name, 0, sizeof name) != nullptr);
    }
    for (int i = 0; i < list.count; ++i) {
        if (list.entries[i].selected) check(placed[size_t(i)] >= 0);
        if (placed[size_t(i)] < 0) continue;
        // What it needs comes first, unless a cycle brought it back.
        for (int d = 0; d < list.entries[i].dependency_count; ++d) {
            int needed = find_package(list, list.entries[i].dependencies[d].name);
            if (needed >= 0) check(placed[size_t(needed)] >= 0);
        }
    }
    free_install_order(order);
    delete[] shown;
    free_package_list(list);
    return 0;
}

#include "packages/install_order.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

void place_package(InstallOrder& order, int index) {
    if (order.visited[index]) return;
    order.visited[index] = 1;
    const PackageInfo& package = order.list->entries[index];
    for (int d = 0; d < package.dependency_count; ++d) {
        int needed = find_package(*order.list, package.dependencies[d].name);
        if (needed >= 0) place_package(order, needed);
    }
    order.order[order.total++] = index;
}

}  // namespace

bool build_install_order(InstallOrder& order, const PackageList& list) {
    size_t count = list.count > 0 ? static_cast<size_t>(list.count) : 1;
    order.list = &list;
    order.total = 0;
    order.position = 0;
    order.order = new (std::nothrow) int[count];
    order.visited = new (std::nothrow) int[count]();
    if (order.order == nullptr || order.visited == nullptr) {
        free_install_order(order);
        return false;
    }
    for (int i = 0; i < list.count; ++i) {
        if (list.entries[i].selected) place_package(order, i);
    }
    order.position = 0;
    return true;
}

bool next_package_path(InstallOrder& order, char* buffer) {
    if (order.position >= order.total) return false;
    const PackageInfo& package = order.list->entries[order.order[order.position]];
    snprintf(buffer, PACKAGE_PATH_SIZE, "%s", package.path);
    ++order.position;
    return true;
}

void current_package_name(const InstallOrder& order, char* buffer) {
    memset(buffer, 0, PACKAGE_NAME_BUFFER);
    if (order.position <= 0 || order.position > order.total) return;
    const PackageInfo& package = order.list->entries[order.order[order.position - 1]];
    strncpy(buffer, package.header.name, PACKAGE_NAME_LENGTH);
}

void free_install_order(InstallOrder& order) {
    delete[] order.order;
    delete[] order.visited;
    order.order = nullptr;
    order.visited = nullptr;
    order.total = 0;
    order.position = 0;
}

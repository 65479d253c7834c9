#include "packages/package_catalogue.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <vector>

#include "packages/package_reader.h"

namespace {

// Part types the catalogue reads from a package file.
constexpr int PART_IDENTIFICATION = 1;
constexpr int PART_DESCRIPTION = 2;
constexpr int PART_DEPENDENCIES = 3;

// The file buffer of a package being read. Only part headers and three small
// parts are read, and the big content parts are passed over by seeking, so a
// small buffer keeps the bytes read per package low.
constexpr int PACKAGE_FILE_BUFFER = 512;

// The names the menu shows first, in this order.
const char* const PREFERRED_NAMES[] = {"system", "ppp", "dhcp"};

bool is_package_file_name(const char* name) {
    size_t length = strlen(name);
    return length >= 4 && strcmp(name + length - 4, ".vpk") == 0;
}

void print_no_packages() {
    printf("FATAL ERROR: No packages found\n");
}

// Releases what a failed read left in an entry (the path stays).
void clear_package_info(PackageInfo& info) {
    delete[] info.description;
    delete[] info.dependencies;
    info.description = nullptr;
    info.dependencies = nullptr;
    info.dependency_count = 0;
}

// Reads parts 1, 2 and 3 into info. A part cannot be longer than the file
// that holds it (file_size bytes): a length beyond that is refused before
// any memory is sought for it.
bool read_package_parts(PackageReader& reader, PackageInfo& info, uint64_t file_size) {
    reader.add_wanted_type(PART_IDENTIFICATION);
    reader.add_wanted_type(PART_DESCRIPTION);
    reader.add_wanted_type(PART_DEPENDENCIES);

    if (reader.next_part() != PART_IDENTIFICATION) return false;
    if (!reader.read(reinterpret_cast<char*>(&info.header), sizeof info.header)) return false;

    if (reader.next_part() == PART_DESCRIPTION) {
        size_t length = reader.part_length();
        if (length > file_size) return false;
        info.description = new (std::nothrow) char[length + 1];
        if (info.description == nullptr) return false;
        if (!reader.read(info.description, static_cast<std::streamsize>(length))) return false;
        info.description[length] = '\0';
    } else {
        info.description = new (std::nothrow) char[1];
        if (info.description == nullptr) return false;
        info.description[0] = '\0';
    }

    if (reader.next_part() == PART_DEPENDENCIES) {
        unsigned char count[2];
        if (!reader.read(reinterpret_cast<char*>(count), 2)) return false;
        uint16_t records = static_cast<uint16_t>(count[0] | (count[1] << 8));
        if (uint64_t{records} * sizeof(PackageRecord) > file_size) return false;
        if (records > 0) {
            info.dependencies = new (std::nothrow) PackageRecord[records];
            if (info.dependencies == nullptr) return false;
            std::streamsize bytes = static_cast<std::streamsize>(records) * sizeof(PackageRecord);
            if (!reader.read(reinterpret_cast<char*>(info.dependencies), bytes)) return false;
        }
        info.dependency_count = records;
    }
    return true;
}

}  // namespace

int compare_package_names(const char* a, const char* b) {
    return strncmp(a, b, PACKAGE_NAME_LENGTH);
}

void init_package_list(PackageList& list, const char* directory) {
    list.directory = directory;
    list.count = 0;
    list.entries = nullptr;
}

bool read_package_info(PackageList& list, const char* path, int index) {
    PackageInfo& info = list.entries[index];
    char buffer[PACKAGE_FILE_BUFFER];
    std::ifstream file;
    file.rdbuf()->pubsetbuf(buffer, sizeof buffer);
    file.open(path, std::ios::in | std::ios::binary);
    if (!file.is_open()) return false;
    std::streamoff size = file.seekg(0, std::ios::end).tellg();
    file.seekg(0);
    if (size < 0 || !file) return false;
    bool ok;
    {
        PackageReader reader(file);
        ok = read_package_parts(reader, info, uint64_t(size));
    }
    if (!ok) clear_package_info(info);
    return ok;
}

bool scan_packages(PackageList& list, bool initially_selected) {
    DIR* dir = opendir(list.directory);
    if (dir == nullptr) {
        print_no_packages();
        return false;
    }
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (is_package_file_name(entry->d_name)) ++count;
    }
    if (count == 0) {
        closedir(dir);
        print_no_packages();
        return false;
    }
    rewinddir(dir);
    PackageInfo* entries = new (std::nothrow) PackageInfo[count]();
    if (entries == nullptr) {
        closedir(dir);
        print_no_packages();
        return false;
    }
    list.entries = entries;
    // Counts the entries that hold something, so that a failure releases
    // them all.
    list.count = count;

    size_t directory_length = strlen(list.directory);
    int index = 0;
    while (index < count) {
        dirent* entry = readdir(dir);
        if (entry == nullptr) break;
        if (!is_package_file_name(entry->d_name)) continue;
        size_t size = directory_length + 1 + strlen(entry->d_name) + 1;
        char* path = new (std::nothrow) char[size];
        if (path == nullptr) {
            printf("FATAL ERROR: Bad package %s/%s\n", list.directory, entry->d_name);
            closedir(dir);
            free_package_list(list);
            return false;
        }
        snprintf(path, size, "%s/%s", list.directory, entry->d_name);
        entries[index].path = path;
        if (size > PACKAGE_PATH_SIZE || !read_package_info(list, path, index)) {
            printf("FATAL ERROR: Bad package %s\n", path);
            closedir(dir);
            free_package_list(list);
            return false;
        }
        entries[index].selected = initially_selected;
        ++index;
    }
    closedir(dir);
    // Fewer names than in the first pass when files vanished meanwhile.
    list.count = index;
    if (index == 0) {
        free_package_list(list);
        print_no_packages();
        return false;
    }
    return true;
}

void free_package_list(PackageList& list) {
    for (int i = 0; i < list.count; ++i) {
        clear_package_info(list.entries[i]);
        delete[] list.entries[i].path;
    }
    delete[] list.entries;
    list.entries = nullptr;
    list.count = 0;
}

int find_package(const PackageList& list, const char* name) {
    for (int i = 0; i < list.count; ++i) {
        if (compare_package_names(list.entries[i].header.name, name) == 0) return i;
    }
    return -1;
}

int mark_default_packages(PackageList& list) {
    char path[256];
    int length = snprintf(path, sizeof path, "%s/%s", list.directory, DEFAULTS_FILE_NAME);
    if (length < 0 || length >= static_cast<int>(sizeof path)) return 0;
    FILE* file = fopen(path, "r");
    if (file == nullptr) return 0;
    int marked = 0;
    char word[80];
    while (fscanf(file, "%79s\n", word) == 1) {
        int index = find_package(list, word);
        if (index >= 0) {
            list.entries[index].selected = true;
            ++marked;
        }
    }
    fclose(file);
    return marked;
}

PackageInfo** display_order(PackageList& list) {
    mark_default_packages(list);
    PackageInfo** items = new PackageInfo*[list.count > 0 ? list.count : 1];
    std::vector<char> taken(static_cast<size_t>(list.count), 0);
    int placed = 0;
    for (const char* name : PREFERRED_NAMES) {
        int index = find_package(list, name);
        if (index >= 0 && !taken[index]) {
            taken[index] = 1;
            items[placed++] = &list.entries[index];
        }
    }
    while (placed < list.count) {
        int best = -1;
        for (int i = 0; i < list.count; ++i) {
            if (taken[i]) continue;
            if (best < 0 || compare_package_names(list.entries[i].header.name,
                                                  list.entries[best].header.name) < 0) {
                best = i;
            }
        }
        taken[best] = 1;
        items[placed++] = &list.entries[best];
    }
    return items;
}

void select_all(PackageList& list) {
    for (int i = 0; i < list.count; ++i) list.entries[i].selected = true;
}

void select_minimum(PackageList& list) {
    for (int i = 0; i < list.count; ++i) list.entries[i].selected = false;
    int system = find_package(list, "system");
    if (system >= 0) list.entries[system].selected = true;
}

bool toggle_selection(PackageList& list, PackageInfo* const* items, int k) {
    PackageInfo& package = *items[k];
    if (package.selected) {
        // "system" followed by its NUL: the base system cannot be left out.
        if (memcmp(package.header.name, "system", 7) == 0) return false;
        package.selected = false;
        for (int i = 0; i < list.count; ++i) {
            PackageInfo& other = *items[i];
            for (int d = 0; d < other.dependency_count; ++d) {
                if (compare_package_names(other.dependencies[d].name, package.header.name) == 0) {
                    other.selected = false;
                    break;
                }
            }
        }
        return true;
    }
    package.selected = true;
    for (int d = 0; d < package.dependency_count; ++d) {
        int index = find_package(list, package.dependencies[d].name);
        if (index >= 0) list.entries[index].selected = true;
    }
    return true;
}

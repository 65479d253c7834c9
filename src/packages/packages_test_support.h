// Test helpers of the package subsystem: what a piece of code writes to
// standard output, and hand-made catalogues that need no package files.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "packages/package_catalogue.h"

// Collects everything written to standard output while it lives.
class StdoutCapture {
  public:
    StdoutCapture() {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        file_ = tmpfile();
        dup2(fileno(file_), STDOUT_FILENO);
    }
    ~StdoutCapture() { finish(); }

    // Restores standard output and returns what was written.
    std::string finish() {
        if (saved_ >= 0) {
            fflush(stdout);
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
            long size = ftell(file_);
            text_.assign(static_cast<size_t>(size > 0 ? size : 0), '\0');
            rewind(file_);
            if (!text_.empty() && fread(&text_[0], 1, text_.size(), file_) != text_.size()) {
                text_.clear();
            }
            fclose(file_);
        }
        return text_;
    }

  private:
    int saved_ = -1;
    FILE* file_ = nullptr;
    std::string text_;
};

// A package as a hand-made catalogue holds it.
struct TestPackage {
    std::string name;
    std::vector<std::string> depends;
    std::string description;
};

// A catalogue built in memory, entries in the given order.
class TestCatalogue {
    // Names are NUL-padded 16-byte fields; a 16-byte name has no terminator.
    static void copy_name(char* field, const std::string& name) {
        memcpy(field, name.data(), std::min<size_t>(name.size(), PACKAGE_NAME_LENGTH));
    }

  public:
    explicit TestCatalogue(const std::vector<TestPackage>& packages) {
        init_package_list(list, "/nonexistent");
        list.count = static_cast<int>(packages.size());
        list.entries = new PackageInfo[packages.size()]();
        for (size_t i = 0; i < packages.size(); ++i) {
            PackageInfo& info = list.entries[i];
            std::string path = "/media/" + packages[i].name + ".vpk";
            info.path = strdup(path.c_str());
            copy_name(info.header.name, packages[i].name);
            info.description = strdup(packages[i].description.c_str());
            info.dependency_count = static_cast<uint16_t>(packages[i].depends.size());
            info.dependencies = new PackageRecord[packages[i].depends.size()]();
            for (size_t d = 0; d < packages[i].depends.size(); ++d) {
                copy_name(info.dependencies[d].name, packages[i].depends[d]);
            }
        }
    }
    ~TestCatalogue() {
        for (int i = 0; i < list.count; ++i) {
            free(list.entries[i].path);
            free(list.entries[i].description);
            delete[] list.entries[i].dependencies;
        }
        delete[] list.entries;
    }
    TestCatalogue(const TestCatalogue&) = delete;
    TestCatalogue& operator=(const TestCatalogue&) = delete;

    PackageInfo& operator[](const std::string& name) { return list.entries[index(name)]; }
    int index(const std::string& name) const { return find_package(list, name.c_str()); }

    // The names of the selected entries, in entry order.
    std::vector<std::string> selected() const {
        std::vector<std::string> names;
        for (int i = 0; i < list.count; ++i) {
            if (list.entries[i].selected) names.push_back(name_of(list.entries[i]));
        }
        return names;
    }

    static std::string name_of(const PackageInfo& info) {
        return std::string(info.header.name, strnlen(info.header.name, PACKAGE_NAME_LENGTH));
    }

    PackageList list;
};

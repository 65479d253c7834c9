#include "package_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "package_builder.h"

namespace {

void put_u16(std::string& out, uint32_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void put_u32(std::string& out, uint32_t value) {
    put_u16(out, value & 0xFFFF);
    put_u16(out, value >> 16);
}

}  // namespace

PackageDirectory::PackageDirectory() {
    char pattern[] = "/tmp/catalogue.XXXXXX";
    char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
    char tree[] = "/tmp/catalogue-tree.XXXXXX";
    made = mkdtemp(tree);
    tree_ = made != nullptr ? made : "";
}

PackageDirectory::~PackageDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    std::filesystem::remove_all(tree_, ignored);
}

void PackageDirectory::add(const std::string& file_name, const std::string& name,
                           const std::vector<std::string>& depends,
                           const std::string& description) {
    PackageSource source;
    source.name = name;
    source.description = description;
    source.depends = depends;
    source.tree = tree_;
    std::string error;
    EXPECT_TRUE(build_package(source, path_ + "/" + file_name, &error))
        << file_name << ": " << error;
}

void PackageDirectory::add_raw(const std::string& file_name, const std::string& bytes) {
    FILE* file = fopen((path_ + "/" + file_name).c_str(), "wb");
    ASSERT_NE(nullptr, file);
    ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), file));
    fclose(file);
}

std::string package_bytes(const std::vector<std::pair<int, std::string>>& parts) {
    std::string body;
    for (const auto& part : parts) {
        put_u16(body, static_cast<uint32_t>(part.first));
        put_u32(body, static_cast<uint32_t>(part.second.size()));
        body += part.second;
    }
    std::string file;
    put_u32(file, 0xBAD0F11E);
    put_u32(file, static_cast<uint32_t>(body.size()));
    return file + body;
}

std::string name_record(const std::string& name) {
    std::string record = name.substr(0, 16);
    record.resize(32, '\0');
    return record;
}

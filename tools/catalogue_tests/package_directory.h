// A temporary directory of package files for the catalogue tests: packages
// made by the package builder, and hand-made files for the broken cases.
#pragma once

#include <string>
#include <utility>
#include <vector>

class PackageDirectory {
  public:
    PackageDirectory();
    ~PackageDirectory();
    PackageDirectory(const PackageDirectory&) = delete;
    PackageDirectory& operator=(const PackageDirectory&) = delete;

    // Builds file_name with the package builder. The test fails when the
    // builder refuses.
    void add(const std::string& file_name, const std::string& name,
             const std::vector<std::string>& depends = {}, const std::string& description = "");

    // Writes file_name with exactly these bytes.
    void add_raw(const std::string& file_name, const std::string& bytes);

    const std::string& path() const { return path_; }
    const char* c_str() const { return path_.c_str(); }

  private:
    std::string path_;
    std::string tree_;  // the (empty) content tree of every package built
};

// The bytes of a package file: the file header and the given parts (type,
// data), back to back.
std::string package_bytes(const std::vector<std::pair<int, std::string>>& parts);

// The 32-byte identification or dependency record of a name.
std::string name_record(const std::string& name);

#include "package_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "printable_text.h"
#include "root_paths.h"

namespace {

// Width of the name column of the listing.
constexpr size_t NAME_COLUMN = 16;

// Lines are written to the file in pieces of about this size.
constexpr size_t RECORD_WRITE_PIECE = 64 * 1024;

void write_pending(InstalledRecord& record) {
    size_t done = 0;
    while (done < record.pending.size() && !record.failed) {
        ssize_t n =
            write(record.file.fd, record.pending.data() + done, record.pending.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            record.failed = true;
            record.error_number = errno;
        } else {
            done += size_t(n);
        }
    }
    record.pending.clear();
}

void close_record(InstalledRecord& record) {
    if (record.file.fd >= 0) new_file_discard(record.file);
    if (record.dir >= 0) close(record.dir);
    record.dir = -1;
    record.pending.clear();
    record.failed = false;
    record.error_number = 0;
}

// One package as its record describes it.
struct RecordSummary {
    std::string name;
    std::string description;
    std::string depends;  // space-separated
    unsigned paths = 0;
    bool complete = false;
};

bool read_record(int dir, const char* file_name, RecordSummary* summary) {
    int fd = openat(dir, file_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    FILE* in = fdopen(fd, "r");
    if (in == nullptr) {
        close(fd);
        return false;
    }
    char* line = nullptr;
    size_t size = 0;
    ssize_t length;
    while ((length = getline(&line, &size, in)) > 0) {
        std::string text(line, size_t(length));
        if (text.back() == '\n') text.pop_back();
        size_t space = text.find(' ');
        std::string key = text.substr(0, space);
        std::string value = space == std::string::npos ? "" : text.substr(space + 1);
        if (key == "name") {
            summary->name = value;
        } else if (key == "description") {
            summary->description = value;
        } else if (key == "depends") {
            summary->depends += (summary->depends.empty() ? "" : " ") + value;
        } else if (key == "path") {
            ++summary->paths;
        } else if (key == "state") {
            summary->complete = value == "complete";
        }
    }
    free(line);
    fclose(in);
    return !summary->name.empty();
}

}  // namespace

std::string record_file_name(const std::string& name) {
    std::string escaped = printable_text(name);
    std::string out;
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '/')
            out += "\\x2f";
        else if (i == 0 && escaped[i] == '.')
            out += "\\x2e";
        else
            out += escaped[i];
    }
    return out;
}

bool record_begin(InstalledRecord& record, int root_fd, const std::string& name, std::string* why) {
    close_record(record);
    if (name.empty()) {
        *why = "the package has no name";
        return false;
    }
    record.dir = open_directory_below(root_fd, RECORD_DIRECTORY, true, why);
    if (record.dir < 0) return false;
    if (!new_file_open(record.file, record.dir, 0644, why)) {
        close_record(record);
        return false;
    }
    record_line(record, "name", name);
    return true;
}

void record_key(InstalledRecord& record, const char* key) {
    record.pending += key;
    record.pending += ' ';
}

void record_value_bytes(InstalledRecord& record, const char* bytes, size_t length) {
    append_printable(&record.pending, bytes, length);
    if (record.pending.size() >= RECORD_WRITE_PIECE) write_pending(record);
}

void record_line_end(InstalledRecord& record) {
    record.pending += '\n';
    if (record.pending.size() >= RECORD_WRITE_PIECE) write_pending(record);
}

void record_line(InstalledRecord& record, const char* key, const std::string& value) {
    record_key(record, key);
    record_value_bytes(record, value.data(), value.size());
    record_line_end(record);
}

bool record_finish(InstalledRecord& record, const std::string& name, bool complete,
                   std::string* why) {
    record_line(record, "state", complete ? "complete" : "incomplete");
    write_pending(record);
    if (record.failed) {
        *why = strerror(record.error_number);
        close_record(record);
        return false;
    }
    bool placed = new_file_place(record.file, record_file_name(name).c_str(), why);
    close_record(record);
    return placed;
}

void record_discard(InstalledRecord& record) {
    close_record(record);
}

bool list_records(int root_fd, FILE* out, std::string* why) {
    int dir = open_directory_below(root_fd, RECORD_DIRECTORY, false, why);
    if (dir < 0) {
        // No record directory: nothing has been installed.
        return errno == ENOENT;
    }
    DIR* listing = fdopendir(dir);
    if (listing == nullptr) {
        *why = strerror(errno);
        close(dir);
        return false;
    }
    std::vector<RecordSummary> records;
    while (struct dirent* e = readdir(listing)) {
        if (e->d_name[0] == '.') continue;  // ".", ".." and temporary names
        RecordSummary summary;
        if (read_record(dirfd(listing), e->d_name, &summary)) records.push_back(summary);
    }
    closedir(listing);
    std::sort(records.begin(), records.end(),
              [](const RecordSummary& a, const RecordSummary& b) { return a.name < b.name; });
    for (const RecordSummary& r : records) {
        char head[64];
        snprintf(head, sizeof head, " %6u paths  ", r.paths);
        std::string line = r.name;
        if (line.size() < NAME_COLUMN) line.resize(NAME_COLUMN, ' ');
        line += head;
        if (!r.complete) line += "(incomplete) ";
        line += r.description;
        if (!r.depends.empty()) line += "; needs " + r.depends;
        while (line.back() == ' ') line.pop_back();
        fprintf(out, "%s\n", line.c_str());
    }
    return true;
}

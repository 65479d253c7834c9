#include "pcap_writer.h"

#include <sys/time.h>

namespace {

constexpr uint32_t PCAP_MAGIC = 0xa1b2c3d4;  // microsecond timestamps
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr uint32_t SNAPSHOT_LENGTH = 65535;

void put32(FILE* file, uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    fwrite(bytes, 1, 4, file);
}

void put16(FILE* file, uint16_t value) {
    uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    fwrite(bytes, 1, 2, file);
}

}  // namespace

bool open_pcap(PcapWriter& writer, const char* path) {
    writer.file = fopen(path, "wb");
    if (writer.file == nullptr) return false;
    put32(writer.file, PCAP_MAGIC);
    put16(writer.file, 2);  // format version 2.4
    put16(writer.file, 4);
    put32(writer.file, 0);  // time zone offset
    put32(writer.file, 0);  // timestamp accuracy
    put32(writer.file, SNAPSHOT_LENGTH);
    put32(writer.file, LINKTYPE_ETHERNET);
    return fflush(writer.file) == 0;
}

void write_pcap_frame(PcapWriter& writer, const uint8_t* frame, int length) {
    if (writer.file == nullptr || length < 0) return;
    timeval now;
    gettimeofday(&now, nullptr);
    uint32_t kept = static_cast<uint32_t>(length) > SNAPSHOT_LENGTH ? SNAPSHOT_LENGTH
                                                                    : static_cast<uint32_t>(length);
    put32(writer.file, static_cast<uint32_t>(now.tv_sec));
    put32(writer.file, static_cast<uint32_t>(now.tv_usec));
    put32(writer.file, kept);
    put32(writer.file, static_cast<uint32_t>(length));
    fwrite(frame, 1, kept, writer.file);
}

void close_pcap(PcapWriter& writer) {
    if (writer.file != nullptr) fclose(writer.file);
    writer.file = nullptr;
}

#include "packages/package_reader.h"

#include <algorithm>

namespace {

// Size of the scratch area through which parts are read when the source
// cannot seek.
constexpr uint32_t SKIP_CHUNK = 4096;

// Size of a part header: type (u16) and data length (u32).
constexpr int PART_HEADER_SIZE = 6;

uint32_t load_u32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

PartStreamBuffer::PartStreamBuffer(std::streambuf* source) : source_(source) {}

std::streamsize PartStreamBuffer::xsgetn(char* s, std::streamsize n) {
    if (remaining_ == 0 || n <= 0 || source_ == nullptr) return 0;
    std::streamsize want = std::min<std::streamsize>(n, remaining_);
    std::streamsize got = source_->sgetn(s, want);
    if (got < 0) got = 0;
    remaining_ -= uint32_t(got);
    return got;
}

PartStreamBuffer::int_type PartStreamBuffer::underflow() {
    if (remaining_ == 0 || source_ == nullptr) return traits_type::eof();
    return source_->sgetc();
}

PartStreamBuffer::int_type PartStreamBuffer::uflow() {
    if (remaining_ == 0 || source_ == nullptr) return traits_type::eof();
    int_type c = source_->sbumpc();
    // A source that has ended does not hand out a byte, so nothing of the
    // part was consumed.
    if (!traits_type::eq_int_type(c, traits_type::eof())) --remaining_;
    return c;
}

PartStreamBuffer::int_type PartStreamBuffer::pbackfail(int_type c) {
    if (remaining_ == part_length_ || source_ == nullptr) return traits_type::eof();
    int_type r = traits_type::eq_int_type(c, traits_type::eof())
                     ? source_->sungetc()
                     : source_->sputbackc(traits_type::to_char_type(c));
    if (traits_type::eq_int_type(r, traits_type::eof())) return r;
    ++remaining_;
    return r;
}

std::streamsize PartStreamBuffer::showmanyc() {
    if (source_ == nullptr) return -1;
    std::streamsize available = source_->in_avail();
    return std::min<std::streamsize>(available, remaining_);
}

PartStreamBuffer::pos_type PartStreamBuffer::seekpos(pos_type pos, std::ios_base::openmode) {
    return seek_in_part(off_type(pos));
}

// Relative to the end of a part, an offset d (normally zero or negative)
// means the position part_length + d; the installer itself never uses it.
PartStreamBuffer::pos_type PartStreamBuffer::seekoff(off_type off, std::ios_base::seekdir dir,
                                                     std::ios_base::openmode) {
    switch (dir) {
        case std::ios_base::beg:
            return seek_in_part(off);
        case std::ios_base::cur:
            return seek_in_part(off + off_type(part_length_ - remaining_));
        case std::ios_base::end:
            return seek_in_part(off + off_type(part_length_));
        default:
            return pos_type(off_type(-1));
    }
}

PartStreamBuffer::pos_type PartStreamBuffer::seek_in_part(off_type p) {
    const pos_type failed = pos_type(off_type(-1));
    // Positions before the part's first byte are refused like those after
    // its last one.
    if (p < 0 || p > off_type(part_length_) || source_ == nullptr) return failed;
    uint32_t r = part_length_ - uint32_t(p);
    if (r == remaining_) return pos_type(p);
    pos_type target = pos_type(off_type(part_start_) + p);
    if (source_->pubseekpos(target, std::ios_base::in) == target) {
        remaining_ = r;
        return pos_type(p);
    }
    if (r > remaining_) return failed;  // backward, and the source cannot seek
    uint32_t distance = remaining_ - r;
    uint32_t skipped = skip_bytes(distance);
    remaining_ -= skipped;
    if (skipped < distance) return failed;
    return pos_type(p);
}

uint32_t PartStreamBuffer::skip_bytes(uint32_t n) {
    char scratch[SKIP_CHUNK];
    uint32_t done = 0;
    while (done < n && source_ != nullptr) {
        uint32_t chunk = std::min(n - done, SKIP_CHUNK);
        std::streamsize got = source_->sgetn(scratch, chunk);
        if (got > 0) done += uint32_t(got);
        if (got < std::streamsize(chunk)) break;
    }
    return done;
}

int PartStreamBuffer::next_part_header() {
    if (source_ == nullptr) return -1;
    if (remaining_ != 0) {
        std::streambuf::pos_type moved = source_->pubseekoff(
            off_type(remaining_), std::ios_base::cur, std::ios_base::in | std::ios_base::out);
        if (moved == std::streambuf::pos_type(off_type(-1))) {
            uint32_t skipped = skip_bytes(remaining_);
            if (skipped < remaining_) {
                remaining_ -= skipped;
                return -1;
            }
        }
        remaining_ = 0;
    }
    part_start_ += part_length_;
    part_length_ = 0;

    unsigned char header[PART_HEADER_SIZE];
    std::streamsize got = source_->sgetn(reinterpret_cast<char*>(header), PART_HEADER_SIZE);
    if (got < PART_HEADER_SIZE) return -1;
    part_start_ += PART_HEADER_SIZE;
    part_length_ = load_u32(header + 2);
    remaining_ = part_length_;
    return int(header[0]) | int(header[1]) << 8;
}

PackageReader::PackageReader(std::istream& source)
    : std::istream(nullptr), buffer_(source.rdbuf()) {
    rdbuf(&buffer_);
    unsigned char header[8];
    std::streamsize got = 0;
    if (source.rdbuf() != nullptr) got = source.rdbuf()->sgetn(reinterpret_cast<char*>(header), 8);
    if (got == 8) {
        magic_ = load_u32(header);
        declared_size_ = load_u32(header + 4) + 8;
        buffer_.set_part_start(8);
    }
    if (magic_ != PACKAGE_MAGIC && magic_ != PACKAGE_MAGIC_ALT) setstate(std::ios_base::badbit);
}

PackageReader::~PackageReader() = default;

void PackageReader::add_wanted_type(int type) {
    wanted_types_.push_back(type);
}

int PackageReader::next_part() {
    if (bad() || fail()) {
        current_type_ = -1;
        return -1;
    }
    clear(rdstate() & ~std::ios_base::eofbit);
    for (;;) {
        int t = buffer_.next_part_header();
        current_type_ = t;
        if (t == -1) {
            setstate(std::ios_base::failbit | std::ios_base::eofbit);
            return -1;
        }
        if (std::find(wanted_types_.begin(), wanted_types_.end(), t) != wanted_types_.end())
            return t;
    }
}

uint32_t PackageReader::part_length() const {
    return buffer_.part_length();
}

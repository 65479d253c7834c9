// The package stream: a .vpk file read one typed part at a time.
//
// A package file is an 8-byte file header (magic, length of the rest)
// followed by parts, each a 6-byte header (type u16, data length u32) and
// its data. All numbers are little-endian. The full layout, including the
// content parts that only the unpacker reads, is in docs/package-format.md.
//
// PackageReader is an input stream over another input stream. next_part()
// moves to the next part whose type was asked for with add_wanted_type();
// the ordinary unformatted read() then delivers that part's data and never
// more. It works the same on a file and on a pipe: parts that are not
// wanted are passed over by seeking the source, or, when the source cannot
// seek, by reading them through a 4096-byte scratch area. No part is ever
// held in memory by the reader.
//
// Part lengths have no upper bound (up to 4 GiB - 1). The reader never
// allocates for a part; a caller that copies a part into memory (the
// catalogue's description and dependency list) must check part_length()
// and treat an allocation it cannot make as a bad package.
//
// Seeking within a part: positions count from the part's first data byte;
// relative to the end, offset d means part_length + d. Positions before
// the part or beyond its end are refused.
#ifndef BRINDLEX_PACKAGES_PACKAGE_READER_H_
#define BRINDLEX_PACKAGES_PACKAGE_READER_H_

#include <cstdint>
#include <istream>
#include <streambuf>
#include <vector>

// The two magic values of a package file. Both are read identically.
constexpr uint32_t PACKAGE_MAGIC = 0xBAD0F11E;
constexpr uint32_t PACKAGE_MAGIC_ALT = 0xA1100FFB;

// The magic recorded when fewer than 8 file-header bytes could be read.
constexpr uint32_t PACKAGE_MAGIC_NONE = 0xFFFFFFFF;

// A stream buffer that limits every read to the data of the current part.
// It has no buffer area of its own: every read goes straight to `source`.
// Positions (seekpos/seekoff) count from the first data byte of the part.
class PartStreamBuffer : public std::streambuf {
  public:
    explicit PartStreamBuffer(std::streambuf* source);

    // Passes over what is left of the current part and reads the next part
    // header. Returns the new part's type (0 to 65535) or -1 when no whole
    // header could be read.
    int next_part_header();

    // Reads and discards up to n bytes of the source in chunks of at most
    // 4096 bytes, stopping at the first short chunk. Returns the count.
    uint32_t skip_bytes(uint32_t n);

    uint32_t part_length() const { return part_length_; }
    uint32_t remaining() const { return remaining_; }

    // Used by the reader's constructor once the file header has been read.
    void set_part_start(uint32_t offset) { part_start_ = offset; }

  protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize showmanyc() override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;

  private:
    // Moves to position p within the current part; -1 on failure.
    pos_type seek_in_part(off_type p);

    std::streambuf* source_;    // not owned; must outlive the reader
    uint32_t part_start_ = 0;   // file offset of the current part's first data byte
    uint32_t part_length_ = 0;  // data length of the current part
    uint32_t remaining_ = 0;    // data bytes of the current part not yet consumed
};

// An input stream presenting the wanted parts of a package file one by one.
class PackageReader : public std::istream {
  public:
    // Reads the 8-byte file header from `source`. An unknown magic or a
    // short header sets the bad flag: every next_part() then returns -1.
    explicit PackageReader(std::istream& source);
    ~PackageReader();

    // Makes next_part() stop at parts of this type.
    void add_wanted_type(int type);

    // Moves to the next part whose type is wanted and returns its type, or
    // -1 at the end of the file, on a truncated part or after a failed read.
    int next_part();

    // Data length of the current part.
    uint32_t part_length() const;

    // Type of the part found by the last next_part(), or -1.
    int current_type() const { return current_type_; }

    // The magic found in the file header (PACKAGE_MAGIC_NONE if short).
    uint32_t magic() const { return magic_; }

    // The file header's length field plus 8; recorded, never used to bound
    // the parts (they end where the file ends).
    uint32_t declared_size() const { return declared_size_; }

  private:
    std::vector<int> wanted_types_;
    int current_type_ = -1;
    uint32_t magic_ = PACKAGE_MAGIC_NONE;
    uint32_t declared_size_ = 0;
    PartStreamBuffer buffer_;
};

#endif  // BRINDLEX_PACKAGES_PACKAGE_READER_H_

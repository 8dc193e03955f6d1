// SPDX-License-Identifier: MIT
#pragma once
// handover: the state image a relay hands to its next self across a reload, and nothing of
// what goes in it. A writer appends little-endian fields to a buffer it grows up to a stated
// bound; sealing puts a header in front (a magic, the format version, the body's length and
// its checksum) and copies the whole into an anonymous memory file, which survives the exec.
// The next program reads that file back whole, checks the header and hands out a reader whose
// every take is bounds-checked. The image may come from anything that set the descriptor's
// variable, so nothing in it is trusted beyond these checks: the callers bound every count
// and value they take.

#include <cstdint>

constexpr std::uint32_t HANDOVER_MAGIC = 0x53484852;  // "RHHS" read little-endian
// Raised whenever the layout of any section changes: a program refuses an image of another
// version rather than guess at it, and serves on with its listening sockets alone.
constexpr std::uint32_t HANDOVER_FORMAT_VERSION = 1;
// magic u32, version u32, body length u64, checksum u64.
constexpr std::uint32_t HANDOVER_HEADER_SIZE = 24;
// What an image holds besides the window and the records: its header, the counters, the
// metrics socket and its few scrapes, with room to spare.
constexpr std::uint64_t HANDOVER_MARGIN_BYTES = 65536;

// The most an image may take, header included, for a relay whose window holds window_bytes and
// whose table has `records` records of at most record_bytes each in the image (their fixed
// fields and a pending connection's request bytes). Both sides bound the image by it: the
// writer refuses to grow past it, and the reader refuses a larger file before it allocates, so
// a descriptor handed in by anything else cannot make the relay take gigabytes.
constexpr std::uint64_t handover_size_max(std::uint64_t window_bytes, std::uint64_t records,
                                          std::uint64_t record_bytes) {
    return window_bytes + records * record_bytes + HANDOVER_MARGIN_BYTES;
}

// An image, as it is written or once it has been read: the header's bytes, then the body.
struct HandoverImage {
    std::uint8_t* bytes;  // owned (malloc): freed by release_image; nullptr before any append
    std::uint64_t size;   // bytes in use, the header's room included
    std::uint64_t capacity;
    std::uint64_t size_max;  // the writer's bound
    // An append was refused (past size_max, or no memory): nothing more is appended, and
    // sealing refuses the image, so a state written in part is never handed over.
    bool failed;
    bool mapped;  // read in place from a sealed memory file: released by unmapping
    // Built in place in the memory file it is handed over in (begin_image_in_file): bytes map
    // file_fd, and sealing copies nothing.
    bool in_file;
    int file_fd;
};

// A view of an image's body. A take past its end, or of a count above its bound, sets failed
// and yields 0 (a take of bytes zero-fills them), and every later take yields 0 as well: the
// caller reads a whole section and tests failed once.
struct HandoverReader {
    const std::uint8_t* bytes;
    std::uint64_t size;
    std::uint64_t at;  // the next byte to take
    bool failed;
};

// Why an image was refused, or IMAGE_TAKEN.
enum HandoverAnswer : std::uint32_t {
    IMAGE_TAKEN = 0,
    IMAGE_WRONG_VERSION = 1,  // a whole header of another format version
    IMAGE_DAMAGED = 2,        // shorter than a header, another magic, a wrong length or checksum
    IMAGE_TOO_LARGE = 3,      // larger than the reader's bound
    IMAGE_UNREADABLE = 4,     // fstat or read failed, or no memory for it; errno says why
};
// A few words for the answer's line on standard error ("another format version", ...).
const char* handover_answer_text(HandoverAnswer answer);

// An empty image that may grow to size_max bytes (HANDOVER_HEADER_SIZE or more), its header
// included. Allocates nothing until the first append.
HandoverImage begin_image(std::uint64_t size_max);
// The same, built in place in a new anonymous memory file of size_max bytes (taking memory
// only as it is written), so that sealing it copies nothing: a whole window is 16 MiB. failed
// is set, with errno, when the file cannot be had.
HandoverImage begin_image_in_file(std::uint64_t size_max);
// Appends to the body; refused (failed set) past size_max or when memory runs out.
void put_u8(HandoverImage& image, std::uint8_t value);
void put_u32(HandoverImage& image, std::uint32_t value);
void put_u64(HandoverImage& image, std::uint64_t value);
void put_bytes(HandoverImage& image, const std::uint8_t* bytes, std::uint64_t count);
// Writes the header in front of the body; false for an image whose appends were refused.
// Needs no descriptor, so the tests and the fuzzer build images with it.
bool finish_image(HandoverImage& image);
// Finishes the image and copies it whole into a new anonymous memory file (close-on-exec),
// positioned at its start. Returns the descriptor, or -1 with errno set: EFBIG for an image
// whose appends were refused, else as memfd_create or write left it. The image stays owned by
// the caller, to be released.
int seal_image(HandoverImage& image);

// Maps in at once the pages a large copy of count bytes to at is about to write, one system
// call instead of a fault a page: a reload copies a whole window twice, into the image and out
// of it into fresh memory. Nothing on a system that cannot (before Linux 5.14).
void prefault(void* at, std::uint64_t count);

// Checks bytes[0..size) as a whole image: magic, version, the body's length, then its
// checksum. On IMAGE_TAKEN, *body reads the body (inside bytes); otherwise it is left empty.
HandoverAnswer check_image(const std::uint8_t* bytes, std::uint64_t size, HandoverReader* body);
// Reads the whole file behind fd (from offset 0, whatever fd's offset) into *image, refusing
// one larger than size_max before allocating, and checks it as check_image does. *image is to
// be released whatever the answer. Does not close fd.
HandoverAnswer read_image(int fd, std::uint64_t size_max, HandoverImage* image,
                          HandoverReader* body);
// Frees the image's memory and empties it; an empty one is left as it is.
void release_image(HandoverImage& image);

std::uint8_t take_u8(HandoverReader& reader);
std::uint32_t take_u32(HandoverReader& reader);
std::uint64_t take_u64(HandoverReader& reader);
// Copies count bytes to dst, or zero-fills dst and fails when fewer are left.
void take_bytes(HandoverReader& reader, std::uint8_t* dst, std::uint64_t count);
// A u32 that counts something the reader then takes or allocates: above max, it fails.
std::uint32_t take_count(HandoverReader& reader, std::uint32_t max);
// Whether every take succeeded and the body was taken to its last byte: a body with bytes
// left over was written by another layout.
bool reader_complete(const HandoverReader& reader);

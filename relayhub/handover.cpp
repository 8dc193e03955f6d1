// SPDX-License-Identifier: MIT
#include "handover.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "wire.h"

namespace {

// An image's first allocation: enough for everything but the window and a large table, so
// that a small relay's image grows at most once or twice.
constexpr std::uint64_t FIRST_CAPACITY_BYTES = 65536;

// memfd_create's MFD_NOEXEC_SEAL (Linux 6.3), which the system's headers may not name yet. The
// image is data: a file that can never be made executable is what it needs, and a kernel set
// to refuse executable memory files (vm.memfd_noexec = 2) refuses one without this flag.
constexpr unsigned int NOEXEC_SEAL_FLAG = 0x0008U;

// FNV-1a over the body's little-endian 64-bit words, then its last 0 to 7 bytes one by one.
// It guards against damage, not against an attacker (anyone who can hand the relay a
// descriptor can compute it too): the bounds on every take keep a forged image from doing
// harm. Each step (an XOR, then a multiplication by an odd number modulo 2^64) maps distinct
// states to distinct states, so a change confined to one word, however many of its bits it
// flips, always changes the sum; changes in several words go unseen with a chance of about
// 2^-64. A cut or a grown body is caught by the length before the sum. Word by word it costs
// 4 ms for a full 16 MiB window, against 28 ms byte by byte, and a reload pays it twice.
std::uint64_t body_checksum(const std::uint8_t* bytes, std::uint64_t size) {
    std::uint64_t h = FNV1A_BASIS;
    std::uint64_t i = 0;
    for (; i + 8 <= size; i += 8) h = (h ^ read_u64_le(bytes + i)) * 1099511628211ULL;
    return fnv1a(h, bytes + i, static_cast<std::size_t>(size - i));
}

// Room for count more bytes, growing the buffer by doubling up to size_max; false (and the
// image failed) when that passes size_max or memory runs out.
bool make_room(HandoverImage& image, std::uint64_t count) {
    if (image.failed) return false;
    if (image.size == 0) image.size = HANDOVER_HEADER_SIZE;  // the header's room comes first
    if (count > image.size_max || image.size > image.size_max - count) {
        image.failed = true;
        return false;
    }
    std::uint64_t needed = image.size + count;
    if (needed <= image.capacity) return true;
    std::uint64_t grown = image.capacity == 0 ? FIRST_CAPACITY_BYTES : image.capacity * 2;
    if (grown < needed) grown = needed;
    if (grown > image.size_max) grown = image.size_max;
    void* moved = std::realloc(image.bytes, static_cast<std::size_t>(grown));
    if (moved == nullptr) {
        image.failed = true;
        return false;
    }
    image.bytes = static_cast<std::uint8_t*>(moved);
    image.capacity = grown;
    return true;
}

// A take of count bytes: their place, or nullptr (and the reader failed) when fewer are left.
const std::uint8_t* take_place(HandoverReader& reader, std::uint64_t count) {
    if (reader.failed || count > reader.size - reader.at) {
        reader.failed = true;
        return nullptr;
    }
    const std::uint8_t* place = reader.bytes + reader.at;
    reader.at += count;
    return place;
}

// write until every byte is in or a write fails; false with errno set.
bool write_all(int fd, const std::uint8_t* bytes, std::uint64_t size) {
    while (size > 0) {
        ssize_t written = write(fd, bytes, static_cast<std::size_t>(size));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;  // a write that takes nothing would never end
        bytes += written;
        size -= static_cast<std::uint64_t>(written);
    }
    return true;
}

// An anonymous memory file that never runs as a program, or -1 with errno set. A kernel older
// than the no-exec seal refuses the flag with EINVAL and gets the plain call.
int open_memory_file() {
    constexpr unsigned int FLAGS = MFD_CLOEXEC | MFD_ALLOW_SEALING;
    int fd = memfd_create("relayhub-handover", FLAGS | NOEXEC_SEAL_FLAG);
    if (fd < 0 && errno == EINVAL) fd = memfd_create("relayhub-handover", FLAGS);
    return fd;
}

// Seals that make a memory file's bytes and size final: a file that carries them can be mapped
// and read in place, since nothing can cut it short (which would make a read of the mapping
// end the process) or change it while it is checked.
constexpr int FINAL_SEALS = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

bool is_final(int fd) {
    int seals = fcntl(fd, F_GET_SEALS);
    return seals >= 0 && (seals & FINAL_SEALS) == FINAL_SEALS;
}

}  // namespace

void prefault(void* at, std::uint64_t count) {
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    if (count < 16 * page) return;  // a few faults cost less than the call
    auto first = reinterpret_cast<std::uintptr_t>(at) & ~(page - 1);
    auto end = reinterpret_cast<std::uintptr_t>(at) + count;
    madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
}

const char* handover_answer_text(HandoverAnswer answer) {
    switch (answer) {
        case IMAGE_TAKEN:
            return "taken";
        case IMAGE_WRONG_VERSION:
            return "another format version";
        case IMAGE_DAMAGED:
            return "damaged";
        case IMAGE_TOO_LARGE:
            return "too large";
        case IMAGE_UNREADABLE:
            return "unreadable";
    }
    return "unknown answer";
}

HandoverImage begin_image(std::uint64_t size_max) {
    HandoverImage image{};
    image.size_max = size_max;
    image.failed = size_max < HANDOVER_HEADER_SIZE;
    return image;
}

HandoverImage begin_image_in_file(std::uint64_t size_max) {
    HandoverImage image = begin_image(size_max);
    if (image.failed) return image;
    image.file_fd = open_memory_file();
    void* map = MAP_FAILED;
    if (image.file_fd >= 0 && ftruncate(image.file_fd, static_cast<off_t>(size_max)) == 0) {
        map = mmap(nullptr, static_cast<std::size_t>(size_max), PROT_READ | PROT_WRITE, MAP_SHARED,
                   image.file_fd, 0);
    }
    if (map == MAP_FAILED) {
        int err = errno;  // before close, which may change it
        if (image.file_fd >= 0) close(image.file_fd);
        image.file_fd = -1;
        image.failed = true;
        errno = err;
        return image;
    }
    image.bytes = static_cast<std::uint8_t*>(map);
    image.capacity = size_max;
    image.in_file = true;
    return image;
}

void put_u8(HandoverImage& image, std::uint8_t value) {
    if (make_room(image, 1)) image.bytes[image.size++] = value;
}

void put_u32(HandoverImage& image, std::uint32_t value) {
    if (!make_room(image, 4)) return;
    write_u32_le(image.bytes + image.size, value);
    image.size += 4;
}

void put_u64(HandoverImage& image, std::uint64_t value) {
    if (!make_room(image, 8)) return;
    write_u64_le(image.bytes + image.size, value);
    image.size += 8;
}

void put_bytes(HandoverImage& image, const std::uint8_t* bytes, std::uint64_t count) {
    if (!make_room(image, count) || count == 0) return;
    if (image.in_file) prefault(image.bytes + image.size, count);
    std::memcpy(image.bytes + image.size, bytes, static_cast<std::size_t>(count));
    image.size += count;
}

bool finish_image(HandoverImage& image) {
    if (!make_room(image, 0)) return false;  // allocates the header of an image without a body
    std::uint64_t body_size = image.size - HANDOVER_HEADER_SIZE;
    const std::uint8_t* body = image.bytes + HANDOVER_HEADER_SIZE;
    write_u32_le(image.bytes, HANDOVER_MAGIC);
    write_u32_le(image.bytes + 4, HANDOVER_FORMAT_VERSION);
    write_u64_le(image.bytes + 8, body_size);
    write_u64_le(image.bytes + 16, body_checksum(body, body_size));
    return true;
}

int seal_image(HandoverImage& image) {
    if (!finish_image(image)) {
        errno = EFBIG;
        return -1;
    }
    if (image.in_file) {
        // Built in place: the file is cut to the image and handed over as it is.
        int fd = image.file_fd;
        munmap(image.bytes, static_cast<std::size_t>(image.capacity));
        image.bytes = nullptr;
        image.in_file = false;
        image.file_fd = -1;
        if (ftruncate(fd, static_cast<off_t>(image.size)) != 0) {
            int err = errno;  // before close, which may change it
            close(fd);
            errno = err;
            return -1;
        }
        fcntl(fd, F_ADD_SEALS, FINAL_SEALS | F_SEAL_SEAL);
        return fd;
    }
    int fd = open_memory_file();
    if (fd < 0) return -1;
    if (!write_all(fd, image.bytes, image.size)) {
        int err = errno;  // before close, which may change it
        close(fd);
        errno = err;
        return -1;
    }
    lseek(fd, 0, SEEK_SET);  // a reader that reads from the file's offset starts at the header
    // Final, so that the next program reads the image in place instead of copying it again; a
    // system that refuses seals leaves it to be read by copy.
    fcntl(fd, F_ADD_SEALS, FINAL_SEALS | F_SEAL_SEAL);
    return fd;
}

HandoverAnswer check_image(const std::uint8_t* bytes, std::uint64_t size, HandoverReader* body) {
    *body = HandoverReader{};
    if (size < HANDOVER_HEADER_SIZE || read_u32_le(bytes) != HANDOVER_MAGIC) return IMAGE_DAMAGED;
    if (read_u32_le(bytes + 4) != HANDOVER_FORMAT_VERSION) return IMAGE_WRONG_VERSION;
    std::uint64_t body_size = size - HANDOVER_HEADER_SIZE;
    if (read_u64_le(bytes + 8) != body_size) return IMAGE_DAMAGED;
    const std::uint8_t* first = bytes + HANDOVER_HEADER_SIZE;
    if (read_u64_le(bytes + 16) != body_checksum(first, body_size)) return IMAGE_DAMAGED;
    *body = HandoverReader{first, body_size, 0, false};
    return IMAGE_TAKEN;
}

HandoverAnswer read_image(int fd, std::uint64_t size_max, HandoverImage* image,
                          HandoverReader* body) {
    *image = HandoverImage{};
    *body = HandoverReader{};
    struct stat file {};
    if (fstat(fd, &file) != 0) return IMAGE_UNREADABLE;
    auto size = static_cast<std::uint64_t>(file.st_size);  // never negative for a file
    if (size > size_max) return IMAGE_TOO_LARGE;
    if (size < HANDOVER_HEADER_SIZE) return IMAGE_DAMAGED;
    if (is_final(fd)) {
        // Read in place: a whole window is 16 MiB that need not be copied once more.
        void* map = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map == MAP_FAILED) return IMAGE_UNREADABLE;
        image->bytes = static_cast<std::uint8_t*>(map);
        image->size = image->capacity = size;
        image->size_max = size_max;
        image->mapped = true;
        return check_image(image->bytes, image->size, body);
    }
    image->bytes = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(size)));
    if (image->bytes == nullptr) return IMAGE_UNREADABLE;  // errno is ENOMEM
    image->capacity = size;
    image->size_max = size_max;
    // pread from offset 0: the descriptor's offset is whatever the writer or anyone left.
    while (image->size < size) {
        ssize_t got =
            pread(fd, image->bytes + image->size, static_cast<std::size_t>(size - image->size),
                  static_cast<off_t>(image->size));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return IMAGE_UNREADABLE;
        if (got == 0) return IMAGE_DAMAGED;  // the file ended before the size fstat gave
        image->size += static_cast<std::uint64_t>(got);
    }
    return check_image(image->bytes, image->size, body);
}

void release_image(HandoverImage& image) {
    if (image.in_file) {
        munmap(image.bytes, static_cast<std::size_t>(image.capacity));
        close(image.file_fd);
    } else if (image.mapped) {
        munmap(image.bytes, static_cast<std::size_t>(image.size));
    } else {
        std::free(image.bytes);
    }
    image = HandoverImage{};
}

std::uint8_t take_u8(HandoverReader& reader) {
    const std::uint8_t* place = take_place(reader, 1);
    return place != nullptr ? place[0] : 0;
}

std::uint32_t take_u32(HandoverReader& reader) {
    const std::uint8_t* place = take_place(reader, 4);
    return place != nullptr ? read_u32_le(place) : 0;
}

std::uint64_t take_u64(HandoverReader& reader) {
    const std::uint8_t* place = take_place(reader, 8);
    return place != nullptr ? read_u64_le(place) : 0;
}

void take_bytes(HandoverReader& reader, std::uint8_t* dst, std::uint64_t count) {
    const std::uint8_t* place = take_place(reader, count);
    if (count == 0) return;
    if (place != nullptr) {
        std::memcpy(dst, place, static_cast<std::size_t>(count));
    } else {
        std::memset(dst, 0, static_cast<std::size_t>(count));
    }
}

std::uint32_t take_count(HandoverReader& reader, std::uint32_t max) {
    std::uint32_t count = take_u32(reader);
    if (count <= max) return count;
    reader.failed = true;
    return 0;
}

bool reader_complete(const HandoverReader& reader) {
    return !reader.failed && reader.at == reader.size;
}

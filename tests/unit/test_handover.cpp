// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "handover.h"
#include "reload.h"

namespace {

// A state of the kind a relay hands over, in sections: counters, records with their request
// bytes, the window's bytes. The layout is the test's own; the image's framing is what is
// checked.
struct SampleRecord {
    std::uint8_t kind;
    std::uint32_t fd;
    std::uint64_t position;
    std::string request;
    bool operator==(const SampleRecord&) const = default;
};
struct Sample {
    std::uint64_t counters[3];
    std::vector<SampleRecord> records;
    std::string window;
    bool operator==(const Sample&) const = default;
};
constexpr std::uint32_t RECORDS_MAX = 16;
constexpr std::uint32_t REQUEST_MAX = 8191;
constexpr std::uint32_t WINDOW_MAX = 4096;

const Sample SAMPLE = {
    {7, 0x1122334455667788ULL, UINT64_MAX},
    {{1, 3, 0, ""}, {3, 9, 0x0000000100000004ULL, "<BL>"}, {2, 12, 0, "GET / HTTP/1.0\r\nHost"}},
    std::string("<BL>\x05\x00\x00\x00\x01\x00\x00\x00hello", 17) + std::string(90, 'w'),
};

const std::uint8_t* bytes_of(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

void put_sample(HandoverImage& image, const Sample& sample) {
    for (std::uint64_t counter : sample.counters) put_u64(image, counter);
    put_u32(image, static_cast<std::uint32_t>(sample.records.size()));
    for (const SampleRecord& r : sample.records) {
        put_u8(image, r.kind);
        put_u32(image, r.fd);
        put_u64(image, r.position);
        put_u32(image, static_cast<std::uint32_t>(r.request.size()));
        put_bytes(image, bytes_of(r.request), r.request.size());
    }
    put_u32(image, static_cast<std::uint32_t>(sample.window.size()));
    put_bytes(image, bytes_of(sample.window), sample.window.size());
}

// Takes a whole sample, each count bounded, and tests the flag once at the end.
bool take_sample(HandoverReader& reader, Sample* sample) {
    for (std::uint64_t& counter : sample->counters) counter = take_u64(reader);
    sample->records.resize(take_count(reader, RECORDS_MAX));
    for (SampleRecord& r : sample->records) {
        r.kind = take_u8(reader);
        r.fd = take_u32(reader);
        r.position = take_u64(reader);
        r.request.resize(take_count(reader, REQUEST_MAX));
        take_bytes(reader, reinterpret_cast<std::uint8_t*>(r.request.data()), r.request.size());
    }
    sample->window.resize(take_count(reader, WINDOW_MAX));
    take_bytes(reader, reinterpret_cast<std::uint8_t*>(sample->window.data()),
               sample->window.size());
    return reader_complete(reader);
}

// The sample as one finished image, header included.
std::vector<std::uint8_t> sample_image_bytes() {
    HandoverImage image = begin_image(1 << 20);
    put_sample(image, SAMPLE);
    EXPECT_TRUE(finish_image(image));
    std::vector<std::uint8_t> bytes(image.bytes, image.bytes + image.size);
    release_image(image);
    return bytes;
}

TEST(HandoverImage, AnIntactImageReadsBackEqualFromBytesAndThroughAMemoryFile) {
    std::vector<std::uint8_t> bytes = sample_image_bytes();
    HandoverReader body{};
    ASSERT_EQ(IMAGE_TAKEN, check_image(bytes.data(), bytes.size(), &body));
    Sample taken{};
    EXPECT_TRUE(take_sample(body, &taken));
    EXPECT_EQ(SAMPLE, taken);

    HandoverImage written = begin_image(1 << 20);
    put_sample(written, SAMPLE);
    int fd = seal_image(written);
    ASSERT_GE(fd, 0) << errno;
    EXPECT_EQ(FD_CLOEXEC, fcntl(fd, F_GETFD));
    EXPECT_EQ(0, lseek(fd, 0, SEEK_CUR));
    lseek(fd, 0, SEEK_END);  // the reader reads from the start, wherever the offset stands
    HandoverImage read{};
    EXPECT_EQ(IMAGE_TAKEN, read_image(fd, bytes.size(), &read, &body));
    Sample again{};
    EXPECT_TRUE(take_sample(body, &again));
    EXPECT_EQ(SAMPLE, again);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(read.bytes, read.bytes + read.size));
    release_image(read);
    release_image(written);
    close(fd);
}

// Every byte changed (one bit, or all eight), every length cut short and one byte too many:
// each is refused, a changed version field as another version and the rest as damage, and the
// check never reads outside the bytes it is given (each copy is exactly its length, for the
// address sanitizer).
TEST(HandoverImage, EveryFlippedByteAndEveryCutLengthIsRefused) {
    const std::vector<std::uint8_t> intact = sample_image_bytes();
    HandoverReader body{};
    for (std::size_t i = 0; i < intact.size(); ++i) {
        for (std::uint8_t flip : {static_cast<std::uint8_t>(1U << (i % 8)), std::uint8_t{0xFF}}) {
            std::vector<std::uint8_t> damaged = intact;
            damaged[i] ^= flip;
            HandoverAnswer expected = i >= 4 && i < 8 ? IMAGE_WRONG_VERSION : IMAGE_DAMAGED;
            EXPECT_EQ(expected, check_image(damaged.data(), damaged.size(), &body))
                << "byte " << i << " ^ " << int{flip};
            EXPECT_EQ(0U, body.size);
        }
    }
    for (std::size_t length = 0; length < intact.size(); ++length) {
        std::vector<std::uint8_t> cut(intact.data(), intact.data() + length);
        EXPECT_EQ(IMAGE_DAMAGED, check_image(cut.data(), cut.size(), &body)) << length;
    }
    std::vector<std::uint8_t> grown = intact;
    grown.push_back(0);
    EXPECT_EQ(IMAGE_DAMAGED, check_image(grown.data(), grown.size(), &body));
}

// A take past the end, or of a count above its bound, yields 0 and fails, and so does every
// take after it, so a section is read whole and tested once.
TEST(HandoverReader, TakesPastTheEndOrAboveABoundFailAndStayFailed) {
    const std::uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 0xFF, 0xFF, 0xFF, 0xFF};
    HandoverReader r{bytes, 6, 0, false};
    EXPECT_EQ(0x04030201U, take_u32(r));
    EXPECT_FALSE(r.failed);
    EXPECT_FALSE(reader_complete(r));  // two bytes left over
    EXPECT_EQ(0U, take_u32(r));        // two left: fails, though bytes[6..9] lie in memory
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(0U, take_u8(r));  // and stays failed
    EXPECT_FALSE(reader_complete(r));

    std::uint8_t copied[4] = {9, 9, 9, 9};
    HandoverReader short_one{bytes, 3, 0, false};
    take_bytes(short_one, copied, 4);
    EXPECT_TRUE(short_one.failed);
    EXPECT_EQ(0U, copied[0] | copied[1] | copied[2] | copied[3]);

    HandoverReader counts{bytes + 6, 4, 0, false};
    EXPECT_EQ(0U, take_count(counts, UINT32_MAX - 1));
    EXPECT_TRUE(counts.failed);
    HandoverReader at_bound{bytes + 6, 4, 0, false};
    EXPECT_EQ(UINT32_MAX, take_count(at_bound, UINT32_MAX));
    EXPECT_TRUE(reader_complete(at_bound));
}

// The writer refuses to grow past its bound, and an image with a refused append is never
// sealed: a state written in part must not be handed over.
TEST(HandoverImage, AnAppendPastTheBoundFailsTheImage) {
    HandoverImage image = begin_image(HANDOVER_HEADER_SIZE + 10);
    put_u64(image, 1);
    put_u8(image, 2);
    EXPECT_FALSE(image.failed);
    put_u32(image, 3);  // 13 bytes of body
    EXPECT_TRUE(image.failed);
    EXPECT_EQ(-1, seal_image(image));
    EXPECT_EQ(EFBIG, errno);
    release_image(image);
    EXPECT_TRUE(begin_image(HANDOVER_HEADER_SIZE - 1).failed);
    HandoverImage empty = begin_image(HANDOVER_HEADER_SIZE);
    EXPECT_TRUE(finish_image(empty));  // a header alone fits, and reads as an empty body
    HandoverReader body{};
    EXPECT_EQ(IMAGE_TAKEN, check_image(empty.bytes, empty.size, &body));
    EXPECT_TRUE(reader_complete(body));
    release_image(empty);
}

struct ReadCase {
    const char* name;
    int (*descriptor)(const std::vector<std::uint8_t>& image);  // -1 for a closed one
    std::int64_t bound_change;                                  // added to the image's size
    HandoverAnswer expected;
};
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

int memory_file_of(const std::vector<std::uint8_t>& bytes) {
    int fd = memfd_create("test", MFD_CLOEXEC);
    if (!bytes.empty()) {
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
    }
    return fd;
}

const ReadCase READ_CASES[] = {
    {"an image at its bound", memory_file_of, 0, IMAGE_TAKEN},
    {"an image above its bound", memory_file_of, -1, IMAGE_TOO_LARGE},
    {"an empty file", [](const std::vector<std::uint8_t>&) { return memory_file_of({}); }, 0,
     IMAGE_DAMAGED},
    {"another format version",
     [](const std::vector<std::uint8_t>& image) {
         std::vector<std::uint8_t> other = image;
         other[4] += 1;  // the checksum covers the body alone, so only the version differs
         return memory_file_of(other);
     },
     0, IMAGE_WRONG_VERSION},
    {"a closed descriptor", [](const std::vector<std::uint8_t>&) { return -1; }, 0,
     IMAGE_UNREADABLE},
    {"a descriptor open for writing only",
     [](const std::vector<std::uint8_t>& image) {
         int readable = memory_file_of(image);
         int writable = open(("/proc/self/fd/" + std::to_string(readable)).c_str(), O_WRONLY);
         close(readable);
         return writable;
     },
     0, IMAGE_UNREADABLE},
};

class ReadImage : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadImage, AnswersWhyAnImageIsRefused) {
    const ReadCase& c = GetParam();
    std::vector<std::uint8_t> bytes = sample_image_bytes();
    int fd = c.descriptor(bytes);
    HandoverImage image{};
    HandoverReader body{};
    auto bound =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(bytes.size()) + c.bound_change);
    EXPECT_EQ(c.expected, read_image(fd, bound, &image, &body));
    Sample taken{};
    if (c.expected == IMAGE_TAKEN) {
        EXPECT_TRUE(take_sample(body, &taken));
        EXPECT_EQ(SAMPLE, taken);
    } else {
        EXPECT_EQ(0U, body.size);
    }
    release_image(image);
    close(fd);
}
INSTANTIATE_TEST_SUITE_P(Files, ReadImage, testing::ValuesIn(READ_CASES));

struct FdTextCase {
    const char* text;
    int expected;
};
void PrintTo(const FdTextCase& c, std::ostream* os) {
    *os << (c.text != nullptr ? "\"" + std::string(c.text) + "\"" : "(unset)");
}

const FdTextCase FD_TEXT_CASES[] = {
    {"3", 3},
    {"17", 17},
    {"2147483647", INT_MAX},
    {"2147483648", -1},
    {"99999999999999999999", -1},
    {nullptr, -1},
    {"", -1},
    {"0", -1},
    {"2", -1},
    {"03", -1},
    {"-4", -1},
    {"+4", -1},
    {" 4", -1},
    {"4 ", -1},
    {"4x", -1},
    {"0x10", -1},
};

class HandoverFdText : public testing::TestWithParam<FdTextCase> {};
TEST_P(HandoverFdText, TakesOnlyAPlainNumberAboveTheStandardDescriptors) {
    EXPECT_EQ(GetParam().expected, parse_handover_fd(GetParam().text));
}
INSTANTIATE_TEST_SUITE_P(Texts, HandoverFdText, testing::ValuesIn(FD_TEXT_CASES));

// The variable is taken once and removed, and names an image only while its descriptor is
// open; the image then carries close-on-exec, so a later exec does not pass it on.
TEST(TakeHandedImage, TakesAnOpenDescriptorOnceAndNothingElse) {
    int open_fd = memory_file_of({});
    fcntl(open_fd, F_SETFD, 0);
    int closed_fd = memory_file_of({});
    close(closed_fd);
    struct Step {
        int fd;  // what the variable names, or -2 for no variable
        int expected;
    };
    for (Step step : {Step{open_fd, open_fd}, Step{closed_fd, -1}, Step{-2, -1}}) {
        unsetenv(HANDOVER_FD_VARIABLE);
        if (step.fd != -2) setenv(HANDOVER_FD_VARIABLE, std::to_string(step.fd).c_str(), 1);
        EXPECT_EQ(step.expected, take_handed_image()) << step.fd;
        EXPECT_EQ(nullptr, std::getenv(HANDOVER_FD_VARIABLE));
        EXPECT_EQ(-1, take_handed_image());
    }
    EXPECT_EQ(FD_CLOEXEC, fcntl(open_fd, F_GETFD));
    close(open_fd);
}

bool reload_signal_blocked() {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGUSR2) == 1;
}

TEST(ReloadSignal, AStormOfSignalsIsOneRequest) {
    ASSERT_TRUE(watch_reload_signal());
    EXPECT_FALSE(reload_requested());
    for (int i = 0; i < 100; ++i) raise(SIGUSR2);
    EXPECT_TRUE(reload_requested());
    EXPECT_FALSE(reload_requested());
    raise(SIGUSR2);
    EXPECT_TRUE(reload_requested());
}

// A file that cannot be run leaves the old program as it was: the kept descriptors back under
// close-on-exec, the image closed, SIGUSR2 deliverable, and no variable left in its
// environment.
struct ExecCase {
    const char* name;
    const char* contents;  // of the program file; nullptr: no file at all
    mode_t mode;
    int expected_errno;
};
void PrintTo(const ExecCase& c, std::ostream* os) { *os << c.name; }

const ExecCase EXEC_CASES[] = {
    {"the file is gone", nullptr, 0, ENOENT},
    {"the file is not executable", "#!/bin/sh\nexit 0\n", 0644, EACCES},
    {"the file is for no machine", "neither a script nor a program\n", 0755, ENOEXEC},
};

class ExecProgram : public testing::TestWithParam<ExecCase> {};

TEST_P(ExecProgram, AFailedExecLeavesTheOldProgramWithNothingLost) {
    const ExecCase& c = GetParam();
    ASSERT_TRUE(watch_reload_signal());
    ProgramFile file{};
    std::string path = testing::TempDir() + "relayhub_exec_XXXXXX";
    int made = mkstemp(path.data());
    ASSERT_GE(made, 0);
    if (c.contents != nullptr) {
        std::string contents = c.contents;
        ASSERT_EQ(static_cast<ssize_t>(contents.size()),
                  write(made, contents.data(), contents.size()));
        fchmod(made, c.mode);
    }
    close(made);
    if (c.contents == nullptr) unlink(path.c_str());
    path.copy(file.path, sizeof(file.path) - 1);
    char name[] = "relayhub";
    char* argv[] = {name, nullptr};
    file.argv = argv;

    int keep[2];
    ASSERT_EQ(0, pipe2(keep, O_CLOEXEC));
    int image = memory_file_of({});
    errno = 0;
    EXPECT_EQ(-1, exec_program(file, image, keep, 2));
    EXPECT_EQ(c.expected_errno, errno);
    EXPECT_EQ(FD_CLOEXEC, fcntl(keep[0], F_GETFD));
    EXPECT_EQ(FD_CLOEXEC, fcntl(keep[1], F_GETFD));
    EXPECT_EQ(-1, fcntl(image, F_GETFD));  // closed
    EXPECT_FALSE(reload_signal_blocked());
    EXPECT_EQ(nullptr, std::getenv(HANDOVER_FD_VARIABLE));
    close(keep[0]);
    close(keep[1]);
    unlink(path.c_str());
}
INSTANTIATE_TEST_SUITE_P(Files, ExecProgram, testing::ValuesIn(EXEC_CASES));

// What the program at path writes on standard output when a child execs it through
// exec_program with these arguments, image and kept descriptors.
std::string output_of_exec(const char* path, std::vector<std::string> args, int image,
                           const int* keep, std::uint32_t count) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ProgramFile file{};
    std::string(path).copy(file.path, sizeof(file.path) - 1);
    file.argv = argv.data();
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return "no pipe";
    pid_t child = fork();
    if (child == 0) {
        dup2(report[1], 1);
        exec_program(file, image, keep, count);
        _exit(127);
    }
    close(report[1]);
    std::string out;
    char piece[256];
    for (ssize_t n; (n = read(report[0], piece, sizeof(piece))) > 0;) {
        out.append(piece, static_cast<std::size_t>(n));
    }
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, status) << out;
    return out;
}

// The exec itself: the variable names the image, the image and the kept descriptor are open in
// the next program and a close-on-exec one is not, and SIGUSR2 reaches it blocked, pending
// until its handler is in place (grep reports the mask; a shell would clear it first).
TEST(ExecProgram, TheNextProgramGetsTheImageTheKeptDescriptorsAndSigusr2Blocked) {
    int image = memory_file_of({});
    int kept[2];
    ASSERT_EQ(0, pipe2(kept, O_CLOEXEC));
    std::string numbers[] = {std::to_string(image), std::to_string(kept[0]),
                             std::to_string(kept[1])};
    std::string out = output_of_exec(
        "/bin/sh",
        {"sh", "-c",
         "echo \"$RELAYHUB_HANDOVER_FD\"; for fd; do test -e /proc/self/fd/$fd && echo open || "
         "echo closed; done",
         "sh", numbers[0], numbers[1], numbers[2]},
        image, kept, 1);  // keeps kept[0]; kept[1] stays close-on-exec
    EXPECT_EQ(numbers[0] + "\nopen\nopen\nclosed\n", out);

    out = output_of_exec("/bin/grep", {"grep", "^SigBlk:", "/proc/self/status"}, image, kept, 1);
    std::uint64_t blocked = std::strtoull(out.c_str() + std::strlen("SigBlk:"), nullptr, 16);
    EXPECT_NE(0U, blocked & (1ULL << (SIGUSR2 - 1))) << out;
    close(kept[0]);
    close(kept[1]);
    close(image);
}

TEST(ExecProgram, AProgramNotResolvedAtStartFailsWithTheResolutionsError) {
    ProgramFile file{};
    file.path_error = ENAMETOOLONG;
    int image = memory_file_of({});
    EXPECT_EQ(-1, exec_program(file, image, nullptr, 0));
    EXPECT_EQ(ENAMETOOLONG, errno);
    EXPECT_EQ(-1, fcntl(image, F_GETFD));
}

}  // namespace

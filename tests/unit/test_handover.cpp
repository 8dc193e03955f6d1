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

#include "blocks.h"
#include "connections.h"
#include "handover.h"
#include "metrics.h"
#include "reload.h"
#include "state_image.h"
#include "stream_window.h"
#include "wire.h"

namespace {

const std::uint8_t* bytes_of(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

constexpr std::uint32_t NOW_MS = 100000;
const std::string REQUEST_PART = "GET / HTTP/1.0\r\nHost";
const std::string BLOCKS = testkit::pattern_blocks(0, 3, 100);

// A relay's state as a reload writes it: a window of three blocks, the listener, a source, a
// player two blocks in and a connection halfway through its request. The table and the window
// are the relay's own; every test leaves them empty.
void make_relay_state() {
    static const bool opened = open_table(8);
    ASSERT_TRUE(opened);
    window_append(bytes_of(BLOCKS), static_cast<std::uint32_t>(BLOCKS.size()));
    add_connection(10, LISTENER, Peer{0, 8888}, NOW_MS - 5000);
    add_connection(11, SOURCE, Peer{0x7F000001, 40000}, NOW_MS - 4000);
    add_connection(12, PLAYER, Peer{0x7F000001, 40001}, NOW_MS - 3000);
    connection_at(2).position = 224;
    connection_at(2).started = true;
    add_connection(13, PENDING, Peer{0x7F000001, 40002}, NOW_MS - 2000);
    Connection& pending = connection_at(3);
    ReadPlace place = read_place(pending);
    std::memcpy(place.at, REQUEST_PART.data(), REQUEST_PART.size());
    take_request_read(pending.buffer, &pending.fill, &pending.header_end,
                      static_cast<std::uint32_t>(REQUEST_PART.size()));
}

void forget_relay_state() {
    HandoverReader none{nullptr, 0, 0, false};
    take_state(none, NOW_MS);  // refused: every module as at a fresh start
}

// The state as one finished image, header included.
std::vector<std::uint8_t> state_image_bytes() {
    make_relay_state();
    HandoverImage image = begin_image(1 << 20);
    put_state(image, NOW_MS);
    EXPECT_TRUE(finish_image(image));
    std::vector<std::uint8_t> bytes(image.bytes, image.bytes + image.size);
    release_image(image);
    forget_relay_state();
    return bytes;
}

TEST(HandoverImage, AnIntactStateReadsBackEqualFromBytesAndThroughAMemoryFile) {
    std::vector<std::uint8_t> bytes = state_image_bytes();
    HandoverReader body{};
    ASSERT_EQ(IMAGE_TAKEN, check_image(bytes.data(), bytes.size(), &body));
    ASSERT_TRUE(take_state(body, NOW_MS + 7));
    // The window, every record and its clock, the pending request's bytes, the reload counted.
    const StreamWindow& w = server_window();
    EXPECT_EQ(BLOCKS, std::string(reinterpret_cast<const char*>(w.data), w.fill));
    EXPECT_EQ(3U, w.complete_blocks);
    EXPECT_EQ(224U, window_join_point());
    ASSERT_EQ(4U, connection_count());
    const ConnectionState states[] = {LISTENER, SOURCE, PLAYER, PENDING};
    for (std::uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(static_cast<int>(10 + i), connection_at(i).fd);
        EXPECT_EQ(states[i], connection_at(i).state);
        EXPECT_EQ(NOW_MS + 7 - 5000 + 1000 * i, connection_at(i).accepted_ms);
    }
    EXPECT_EQ(224U, connection_at(2).position);
    EXPECT_TRUE(connection_at(2).started);
    const Connection& pending = connection_at(3);
    EXPECT_EQ(REQUEST_PART,
              std::string(reinterpret_cast<const char*>(pending.buffer), pending.fill));
    EXPECT_EQ(1U, counters().reloads);
    forget_relay_state();

    make_relay_state();
    HandoverImage written = begin_image_in_file(1 << 20);  // as a reload builds it
    put_state(written, NOW_MS);
    forget_relay_state();
    int fd = seal_image(written);
    ASSERT_GE(fd, 0) << errno;
    EXPECT_EQ(FD_CLOEXEC, fcntl(fd, F_GETFD));
    lseek(fd, 0, SEEK_END);  // the reader reads from the start, wherever the offset stands
    HandoverImage read{};
    EXPECT_EQ(IMAGE_TAKEN, read_image(fd, 1 << 20, &read, &body));
    EXPECT_TRUE(read.mapped) << "a sealed image is read in place";
    EXPECT_TRUE(take_state(body, NOW_MS));
    EXPECT_EQ(4U, connection_count());
    forget_relay_state();
    release_image(read);
    release_image(written);
    close(fd);
}

// Every byte changed (one bit, or all eight), every length cut short and one byte too many:
// each is refused, a changed version field as another version and the rest as damage, and the
// check never reads outside the bytes it is given (each copy is exactly its length, for the
// address sanitizer).
TEST(HandoverImage, EveryFlippedByteAndEveryCutLengthIsRefused) {
    const std::vector<std::uint8_t> intact = state_image_bytes();
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

// Behind a checksum that holds, as an image from anything but a reload may carry one: every
// byte of the state set to each of a few values, every cut, one byte more. The state reader
// either refuses it or takes a state within every bound, and never reads outside the body.
TEST(StateImage, AnyChangedByteBehindAGoodChecksumIsRefusedOrTakenWithinBounds) {
    std::vector<std::uint8_t> image = state_image_bytes();
    const std::vector<std::uint8_t> intact(image.begin() + HANDOVER_HEADER_SIZE, image.end());
    int refused = 0;
    auto take = [&](const std::vector<std::uint8_t>& state) {
        HandoverReader body{state.data(), state.size(), 0, false};
        if (!take_state(body, NOW_MS)) {
            refused += 1;
            return;
        }
        EXPECT_EQ(LISTENER, connection_at(0).state);
        const StreamWindow& w = server_window();
        for (std::uint32_t i = 1; i < connection_count(); ++i) {
            const Connection& c = connection_at(i);
            EXPECT_LE(c.position, w.base + w.fill);
            EXPECT_LE(c.fill, c.state == PENDING ? REQUEST_BUFFER_SIZE - 1 : 0);
        }
        forget_relay_state();
    };
    for (std::size_t i = 0; i < intact.size(); ++i) {
        for (std::uint8_t value : {std::uint8_t{0}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
            std::vector<std::uint8_t> changed = intact;
            changed[i] = value;
            take(changed);
        }
    }
    for (std::size_t length = 0; length < intact.size(); ++length) {
        take(std::vector<std::uint8_t>(intact.data(), intact.data() + length));
    }
    std::vector<std::uint8_t> grown = intact;
    grown.push_back(0);
    take(grown);
    EXPECT_GE(refused, static_cast<int>(intact.size()) + 1) << "every cut and the extra byte";
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
    std::vector<std::uint8_t> bytes = state_image_bytes();
    int fd = c.descriptor(bytes);
    HandoverImage image{};
    HandoverReader body{};
    auto bound =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(bytes.size()) + c.bound_change);
    EXPECT_EQ(c.expected, read_image(fd, bound, &image, &body));
    if (c.expected == IMAGE_TAKEN) {
        EXPECT_EQ(bytes.size() - HANDOVER_HEADER_SIZE, body.size);
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

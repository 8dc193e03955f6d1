// SPDX-License-Identifier: MIT
// feedsend and feedfetch against small loopback servers of the test's own, and end to end
// through relayhub, the generated stream and a real encoder's.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "fixture.h"
#include "wire.h"

using namespace testkit;

namespace {

// Command lines that start nothing: status 1 at once, before any socket, with the usage on
// standard output or one line on standard error that names the bad argument; or the version
// line and status 0.
struct UsageCase {
    const char* name;
    std::vector<std::string> argv;
    std::string out;    // standard output
    std::string error;  // standard error
    int status = 1;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

const std::string FEEDSEND_USAGE =
    "Usage: \n1) dir | feedsend @127.0.0.1 8888 2>log\n2) dir | feedsend www.example.com 80   "
    "2>log\n";
const std::string NOT_A_PORT = "\" is not a port (a whole number from 1 to 65535)\n";
const std::string NOT_A_HOST = "\" is not a host (@ and a dotted quad, or a name)\n";

const UsageCase USAGE_CASES[] = {
    {"feedsend --version", {FEEDSEND_BIN, "--version"}, "feedsend " + VERSION_LINE_END, "", 0},
    {"feedfetch --version", {FEEDFETCH_BIN, "--version"}, "feedfetch " + VERSION_LINE_END, "", 0},
    {"feedlink --version", {FEEDLINK_BIN, "--version"}, "feedlink " + VERSION_LINE_END, "", 0},
    {"feedsend --help", {FEEDSEND_BIN, "--help"}, FEEDSEND_USAGE, ""},
    {"feedsend without arguments", {FEEDSEND_BIN}, FEEDSEND_USAGE, ""},
    {"feedsend with a host only", {FEEDSEND_BIN, "@127.0.0.1"}, FEEDSEND_USAGE, ""},
    {"feedfetch with host and port only",
     {FEEDFETCH_BIN, "@127.0.0.1", "8888"},
     "Usage: \n1) feedfetch @127.0.0.1 8888 http_header_file >data 2>log\n"
     "2) feedfetch www.example.com 80 http_header_file >data 2>log\n",
     ""},
    {"feedsend, a port that is no number",
     {FEEDSEND_BIN, "@127.0.0.1", "abc"},
     "",
     "feedsend: \"abc" + NOT_A_PORT},
    {"feedsend, a port above 65535",
     {FEEDSEND_BIN, "@127.0.0.1", "70000"},
     "",
     "feedsend: \"70000" + NOT_A_PORT},
    {"feedsend, port 0", {FEEDSEND_BIN, "@127.0.0.1", "0"}, "", "feedsend: \"0" + NOT_A_PORT},
    {"feedsend, no dotted quad",
     {FEEDSEND_BIN, "@abc", "8888"},
     "",
     "feedsend: \"@abc" + NOT_A_HOST},
    {"feedsend, a quad out of range",
     {FEEDSEND_BIN, "@999.1.1.1", "8888"},
     "",
     "feedsend: \"@999.1.1.1" + NOT_A_HOST},
    {"feedfetch, an empty host",
     {FEEDFETCH_BIN, "", "8888", "r"},
     "",
     "feedfetch: \"" + NOT_A_HOST},
    {"feedfetch, a port with a suffix",
     {FEEDFETCH_BIN, "@127.0.0.1", "8888x", "r"},
     "",
     "feedfetch: \"8888x" + NOT_A_PORT},
    {"feedlink, a bad downstream host",
     {FEEDLINK_BIN, "@127.0.0.1", "8888", "@127.0.0", "8889"},
     "",
     "feedlink: \"@127.0.0" + NOT_A_HOST},
    {"feedlink, a bad upstream port",
     {FEEDLINK_BIN, "@127.0.0.1", "-8888", "@127.0.0.1", "8889"},
     "",
     "feedlink: \"-8888" + NOT_A_PORT},
};

class ClientUsage : public ProcessTest, public testing::WithParamInterface<UsageCase> {};

TEST_P(ClientUsage, AnswersItsCommandLineAndStartsNothing) {
    Child& client = start(GetParam().argv);
    EXPECT_EQ(GetParam().status, wait_exit(client, 5000));
    EXPECT_EQ(GetParam().out, stdout_of(client));
    EXPECT_EQ(GetParam().error, stderr_of(client));
}

INSTANTIATE_TEST_SUITE_P(Clients, ClientUsage, testing::ValuesIn(USAGE_CASES));

struct ProgressCase {
    const char* name;
    const char* program;
    const char* host;
    std::string lines;  // standard error once the connection stands
};

void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }

const ProgressCase PROGRESS_CASES[] = {
    {"feedsend, dotted quad", FEEDSEND_BIN, "@127.0.0.1",
     "Opening socket...Done.\n=127.0.0.1\nConnecting...Done.\n"},
    {"feedsend, name", FEEDSEND_BIN, "127.0.0.1",
     "Opening socket...Done.\nResolving name....\n127.0.0.1=127.0.0.1\nConnecting...Done.\n"},
    {"feedfetch, dotted quad", FEEDFETCH_BIN, "@127.0.0.1",
     "Opening socket...Done.\n=127.0.0.1\nConnecting...Done.\n"},
    {"feedfetch, name", FEEDFETCH_BIN, "127.0.0.1",
     "Opening socket...Done.\nResolving name....\n127.0.0.1=127.0.0.1\nConnecting...Done.\n"},
};

class ClientProgress : public ProcessTest, public testing::WithParamInterface<ProgressCase> {};

TEST_P(ClientProgress, WritesTheConnectionStepsByteForByte) {
    int port = 0;
    int server = own(listen_loopback(&port));
    std::string empty = temp_file("");
    Child& client = start({GetParam().program, GetParam().host, std::to_string(port), empty});
    int conn = own(accept_within(server, 5000));
    ASSERT_GE(conn, 0);
    const std::string& expected = GetParam().lines;
    EXPECT_TRUE(wait_for([&] { return stderr_of(client).size() >= expected.size(); }, 3000));
    EXPECT_EQ(expected, stderr_of(client));
}

TEST_P(ClientProgress, WithNothingListeningRetriesAtAPaceWithoutGatheringDescriptors) {
    std::string empty = temp_file("");
    Child& client =
        start({GetParam().program, GetParam().host, std::to_string(free_port()), empty});
    // Counted from the first attempt on, when the program has replaced the test's fork.
    ASSERT_TRUE(wait_for([&] { return !stderr_of(client).empty(); }, 3000));
    double cpu_before = cpu_seconds(client.pid);
    auto begun = std::chrono::steady_clock::now();
    int most = 0;
    for (int k = 0; k < 100; ++k) {  // 5 s
        most = std::max(most, open_fd_count(client.pid));
        sleep_for_ms(50);
    }
    double cpu = cpu_seconds(client.pid) - cpu_before;
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    std::string log = stderr_of(client);
    // The pause doubles from 10 ms to 1 s: about a dozen attempts in 5 s, where attempts without
    // a pause come by the thousand.
    std::size_t attempts = count_of(log, "Opening socket...");
    EXPECT_GE(attempts, 5U) << log;
    EXPECT_LT(attempts, 40U) << log;
    // Each refused attempt ends in "Connecting..." directly followed by the next attempt.
    EXPECT_NE(std::string::npos, log.find("Connecting...Opening socket...Done.\n"));
    // Standard input, output and error, plus at most the one socket of the current attempt and,
    // while a name is being looked up, the resolver's own for a moment; a leak would grow.
    EXPECT_LE(most, 5);
    ASSERT_GE(cpu_before, 0.0);
    EXPECT_LT(cpu, 0.05 * seconds) << "processor seconds while nothing listened";
    EXPECT_FALSE(has_exited(client));
}

INSTANTIATE_TEST_SUITE_P(Clients, ClientProgress, testing::ValuesIn(PROGRESS_CASES));

class Feedsend : public ProcessTest {};

TEST_F(Feedsend, SendsItsInputInPiecesAndReconnectsFiveSecondsAfterItEnds) {
    int port = 0;
    int server = own(listen_loopback(&port));
    std::string input = pattern_payload(1460 * 2 + 730, 7);
    std::string input_file = temp_file(input);
    Child& sender =
        start({FEEDSEND_BIN, "@127.0.0.1", std::to_string(port)}, Input::FILE, input_file);
    int first = own(accept_within(server, 5000));
    ASSERT_GE(first, 0);
    EXPECT_EQ(input, recv_for(first, input.size() + 1, 3000));  // ends with the sender's close
    auto closed_at = std::chrono::steady_clock::now();
    std::string log = stderr_of(sender);
    std::regex progress(
        "1460 bytes in +[0-9]+\\.[0-9]s\r2920 bytes in +[0-9]+\\.[0-9]s\r3650 bytes in "
        "+[0-9]+\\.[0-9]s\r$");
    EXPECT_TRUE(std::regex_search(log, progress)) << log;
    EXPECT_EQ(3U, count_of(log, " bytes in "));
    // The next connection comes after the pause and carries nothing: the input has ended.
    int second = own(accept_within(server, 9000));
    double pause =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - closed_at).count();
    ASSERT_GE(second, 0);
    EXPECT_GT(pause, 4.0);
    EXPECT_LT(pause, 8.0);
    EXPECT_EQ("", recv_for(second, 1, 2000));
    EXPECT_EQ(3U, count_of(stderr_of(sender), " bytes in "));
}

// feedsend's input for a connection that a peer resets: *starts gets the offset of every block
// whose start feedsend can find, and stays empty for input it must copy as it stands.
struct ResumeCase {
    const char* name;
    std::string (*input)(std::vector<std::size_t>* starts);
};

void PrintTo(const ResumeCase& c, std::ostream* os) { *os << c.name; }

// Less than a pipe holds, so the test writes it all while the sender pauses.
constexpr std::size_t RESUME_INPUT_SIZE = 50000;

const ResumeCase RESUME_CASES[] = {
    {"block stream",
     [](std::vector<std::size_t>* starts) {
         // Payloads that do not divide 1460, the largest spanning several pieces, so a lost
         // piece ends inside a block whose rest may take more than one read.
         const std::size_t payloads[] = {1000, 3000, 5000};
         std::string input;
         for (std::uint32_t k = 0; input.size() < RESUME_INPUT_SIZE; ++k) {
             starts->push_back(input.size());
             input += make_block(pattern_payload(payloads[k % 3], k), k);
         }
         return input;
     }},
    {"plain bytes",
     [](std::vector<std::size_t>*) { return pattern_payload(RESUME_INPUT_SIZE, 1); }},
    {"block stream whose second marker is missing",
     [](std::vector<std::size_t>*) {
         return make_block(pattern_payload(1000, 0), 0) + pattern_payload(RESUME_INPUT_SIZE, 2);
     }},
};

class FeedsendResume : public ProcessTest, public testing::WithParamInterface<ResumeCase> {};

TEST_P(FeedsendResume, APieceLostToAResetIsReportedAndTheNextConnectionStartsWhereItShould) {
    std::vector<std::size_t> starts;
    std::string input = GetParam().input(&starts);
    int port = 0;
    int server = own(listen_loopback(&port));
    Child& sender = start({FEEDSEND_BIN, "@127.0.0.1", std::to_string(port)}, Input::PIPE);
    int first = accept_within(server, 5000);
    ASSERT_GE(first, 0);
    // Three whole pieces go out; with the blocks above the third ends inside a 5012-byte block.
    const std::size_t before_reset = 3 * 1460;
    ASSERT_EQ((ssize_t)before_reset, write(sender.input_fd, input.data(), before_reset));
    EXPECT_EQ(input.substr(0, before_reset), recv_for(first, before_reset, 3000));
    std::string all_taken = std::to_string(before_reset) + " bytes in";
    ASSERT_TRUE(
        wait_for([&] { return stderr_of(sender).find(all_taken) != std::string::npos; }, 3000));
    // A reset, then the rest of the input: a send fails, and SIGPIPE must not end the sender.
    linger hard{1, 0};
    setsockopt(first, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(first);
    std::size_t rest = input.size() - before_reset;
    ASSERT_EQ((ssize_t)rest, write(sender.input_fd, input.data() + before_reset, rest));
    close(sender.input_fd);  // the input ends, so the second connection ends with it
    sender.input_fd = -1;
    ASSERT_TRUE(
        wait_for([&] { return stderr_of(sender).find("send error: ") != std::string::npos; }, 3000))
        << stderr_of(sender);
    // The last progress line before the error counts the pieces the connection took; the lost
    // piece is the 1460 bytes after them.
    std::string log = stderr_of(sender);
    std::string before_error = log.substr(0, log.find("send error: "));
    std::regex progress("([0-9]+) bytes in");
    std::size_t taken = 0;
    for (auto it = std::sregex_iterator(before_error.begin(), before_error.end(), progress);
         it != std::sregex_iterator(); ++it) {
        taken = std::stoul((*it)[1]);
    }
    std::size_t lost_end = taken + 1460;
    // A block stream goes on at the first block that begins after the lost piece, other input
    // with the byte after it.
    std::size_t resume = lost_end;
    if (!starts.empty()) {
        auto next_start = std::lower_bound(starts.begin(), starts.end(), lost_end);
        resume = next_start != starts.end() ? *next_start : input.size();
    }
    ASSERT_LT(resume, input.size()) << "nothing is left for the second connection";
    int second = own(accept_within(server, 9000));
    ASSERT_GE(second, 0);
    EXPECT_FALSE(has_exited(sender));
    std::string expected = input.substr(resume);
    std::string got = recv_for(second, expected.size() + 1, 5000);  // ends with the sender's close
    if (!starts.empty()) {
        EXPECT_EQ("<BL>", got.substr(0, 4));
    }
    EXPECT_EQ(expected.size(), got.size()) << "lost piece ends at " << lost_end;
    EXPECT_TRUE(got == expected) << "the second connection differs from input byte " << resume;
}

INSTANTIATE_TEST_SUITE_P(Feedsend, FeedsendResume, testing::ValuesIn(RESUME_CASES));

class Feedfetch : public ProcessTest {};

TEST_F(Feedfetch, SendsItsFileOnEveryConnectionAndWritesEveryByteReceived) {
    int port = 0;
    int server = own(listen_loopback(&port));
    std::string request = pattern_payload(1460 * 2 + 730, 3);
    std::string path = temp_file(request);
    Child& fetcher = start({FEEDFETCH_BIN, "@127.0.0.1", std::to_string(port), path});
    int first = own(accept_within(server, 5000));
    ASSERT_GE(first, 0);
    EXPECT_EQ(request, recv_for(first, request.size(), 3000));
    std::string reply1 = pattern_payload(5000, 4);
    ASSERT_TRUE(send_all(first, reply1));
    ASSERT_TRUE(wait_for([&] { return stdout_of(fetcher).size() == reply1.size(); }, 3000));
    // A file changed between two connections goes out anew on the next.
    std::string changed = "GET /changed HTTP/1.0\r\n\r\n";
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << changed; }
    shutdown(first, SHUT_RDWR);
    int second = own(accept_within(server, 5000));
    ASSERT_GE(second, 0);
    EXPECT_EQ(changed, recv_for(second, changed.size(), 3000));
    std::string reply2 = "and more";
    ASSERT_TRUE(send_all(second, reply2));
    shutdown(second, SHUT_RDWR);
    int third = own(accept_within(server, 5000));
    ASSERT_GE(third, 0);
    EXPECT_EQ(reply1 + reply2, stdout_of(fetcher));
    // The "recv %i; " entries add up to what was written, the next attempt on the same line.
    std::string log = stderr_of(fetcher);
    std::regex entry("recv ([0-9]+); ");
    std::size_t sum = 0;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), entry);
         it != std::sregex_iterator(); ++it) {
        sum += std::stoul((*it)[1]);
    }
    EXPECT_EQ(reply1.size() + reply2.size(), sum);
    EXPECT_NE(std::string::npos, log.find("recv 8; Opening socket..."));
}

TEST_F(Feedfetch, AMissingHeaderFileIsReportedAndTheReplyStillRead) {
    int port = 0;
    int server = own(listen_loopback(&port));
    std::string path = temp_file("");
    std::remove(path.c_str());
    Child& fetcher = start({FEEDFETCH_BIN, "@127.0.0.1", std::to_string(port), path});
    int first = own(accept_within(server, 5000));
    ASSERT_GE(first, 0);
    EXPECT_EQ("", recv_for(first, 1, 300));  // nothing is sent
    ASSERT_TRUE(send_all(first, "reply"));
    EXPECT_TRUE(wait_for([&] { return stdout_of(fetcher) == "reply"; }, 3000));
    EXPECT_NE(std::string::npos, stderr_of(fetcher).find(path + "\n")) << stderr_of(fetcher);
    shutdown(first, SHUT_RDWR);
    EXPECT_GE(own(accept_within(server, 5000)), 0);
    EXPECT_FALSE(has_exited(fetcher));
}

TEST_F(Feedfetch, PausesAfterConnectionsDroppedBeforeAnyByteUntilOneStands) {
    int port = 0;
    int server = own(listen_loopback(&port));
    std::string request = "GET / HTTP/1.0\r\n\r\n";
    std::string path = temp_file(request);
    Child& fetcher = start({FEEDFETCH_BIN, "@127.0.0.1", std::to_string(port), path});
    // For 3 s every connection is dropped as soon as it is accepted: closed, or reset.
    int dropped = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end) {
        int fd = accept_within(server, 50);
        if (fd < 0) continue;
        if (dropped % 2 == 1) {
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(fd);
        ++dropped;
    }
    // Pauses of 10 ms doubling to 1 s: about nine connections; without them, thousands.
    EXPECT_GE(dropped, 3) << "the fetcher stopped reconnecting";
    EXPECT_LT(dropped, 40) << "the fetcher did not pause after dropped connections";
    // A connection that brings a byte resets the pause: the next one comes at once.
    int stood = own(accept_within(server, 3000));
    ASSERT_GE(stood, 0);
    EXPECT_EQ(request, recv_for(stood, request.size(), 3000));
    ASSERT_TRUE(send_all(stood, "reply"));
    ASSERT_TRUE(wait_for([&] { return stdout_of(fetcher) == "reply"; }, 3000));
    shutdown(stood, SHUT_RDWR);
    auto closed_at = std::chrono::steady_clock::now();
    int next = own(accept_within(server, 3000));
    double gap =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - closed_at).count();
    ASSERT_GE(next, 0);
    EXPECT_LT(gap, 0.8) << "the pause of 1 s was still in force";
    EXPECT_FALSE(has_exited(fetcher));
}

class EndToEnd : public ProcessTest {};

TEST_F(EndToEnd, AFetcherGetsTheHeaderAndTheSendersStreamFromABlockBoundary) {
    start_relay();
    std::string request = temp_file("GET / HTTP/1.0\r\n\r\n");
    Child& sender = start({FEEDSEND_BIN, "@127.0.0.1", std::to_string(port_)}, Input::PIPE);
    std::string stream;
    std::vector<std::size_t> boundaries;
    auto feed = [&](int first, int n) {
        for (int k = first; k < first + n; ++k) {
            std::string b = pattern_blocks(static_cast<std::uint32_t>(k), 1, 2000);
            boundaries.push_back(stream.size());
            stream += b;
            ASSERT_EQ((ssize_t)b.size(), write(sender.input_fd, b.data(), b.size()));
        }
    };
    feed(0, 10);
    sleep_for_ms(500);
    Child& fetcher = start({FEEDFETCH_BIN, "@127.0.0.1", std::to_string(port_), request});
    sleep_for_ms(500);
    feed(10, 20);
    // feedsend sends whole 1460-byte pieces only: everything up to the last full piece arrives.
    std::size_t sent = stream.size() / 1460 * 1460;
    std::string tail = stream.substr(sent - 64, 64);
    ASSERT_TRUE(wait_for(
        [&] {
            std::string out = stdout_of(fetcher);
            return out.size() >= HEADER.size() + 64 && out.compare(out.size() - 64, 64, tail) == 0;
        },
        10000))
        << "the fetcher did not receive the stream up to its last piece";
    std::string out = stdout_of(fetcher);
    ASSERT_EQ(HEADER, out.substr(0, HEADER.size()));
    std::string got = out.substr(HEADER.size());
    // The fetcher's bytes are the stream from one block boundary on, byte for byte.
    std::size_t from = sent - got.size();
    EXPECT_NE(boundaries.end(), std::find(boundaries.begin(), boundaries.end(), from)) << from;
    EXPECT_TRUE(got == stream.substr(from, got.size())) << "the fetcher's stream differs";
}

// Real audio, as a person carries it: an MP3 encoder's live output through blockframe, feedsend
// and the relay, and listeners that are feedfetch, blockframe -d and a decoder writing WAV.
constexpr int SAMPLE_RATE = 44100;  // the tone's, and the decoded WAV's (mono, 16 bits)
constexpr int LISTEN_MS = 8000;
// One block's payload, 4368 bytes, of a 128 kbit/s stream (16,000 bytes a second).
constexpr double BLOCK_SECONDS = 4368.0 / 16000.0;

// The samples of a 16-bit mono WAV file as ffmpeg writes it: its chunks walked up to "data".
std::vector<std::int16_t> wav_samples(const std::string& path) {
    std::string w = read_file(path);
    const auto* p = reinterpret_cast<const std::uint8_t*>(w.data());
    std::vector<std::int16_t> samples;
    if (w.size() < 12 || w.compare(0, 4, "RIFF") != 0 || w.compare(8, 4, "WAVE") != 0) {
        return samples;
    }
    for (std::size_t at = 12; at + 8 <= w.size();) {
        std::size_t size = read_u32_le(p + at + 4);
        if (w.compare(at, 4, "data") == 0) {
            std::size_t end = std::min(w.size(), at + 8 + size);
            for (std::size_t k = at + 8; k + 2 <= end; k += 2) {
                samples.push_back(static_cast<std::int16_t>(p[k] | p[k + 1] << 8));
            }
            break;
        }
        at += 8 + size + (size & 1);
    }
    return samples;
}

// A tone's frequency, counted from its rising zero crossings after the first and before the
// last quarter second, where the decoder starts and the listening was cut off; 0 when shorter
// than a second.
double tone_hz(const std::vector<std::int16_t>& samples) {
    std::size_t edge = SAMPLE_RATE / 4;
    if (samples.size() < 4 * edge) return 0;
    int rising = 0;
    for (std::size_t k = edge + 1; k < samples.size() - edge; ++k) {
        if (samples[k - 1] < 0 && samples[k] >= 0) ++rising;
    }
    return rising * SAMPLE_RATE / static_cast<double>(samples.size() - 2 * edge - 1);
}

// Stream bytes feedfetch has written so far, from its "recv N; " lines.
std::size_t fetched_bytes(const Child& fetcher) {
    std::string log = stderr_of(fetcher);
    std::size_t total = 0;
    for (std::size_t at = log.find("recv "); at != std::string::npos;
         at = log.find("recv ", at + 5))
        total += std::strtoul(log.c_str() + at + 5, nullptr, 10);
    return total;
}

struct Listening {
    std::vector<Child*> chain;  // feedfetch | blockframe -d | ffmpeg
    std::string wav;
    std::chrono::steady_clock::time_point began;  // its first bytes after the relay's header
    double seconds;                               // from then until feedfetch was stopped
};

class RealAudio : public ProcessTest {
   protected:
    // A listener as a person runs one, started now; false when no stream reaches it in time.
    bool listen(Listening* l) {
        l->wav = temp_file("");
        l->chain =
            start_chain({{FEEDFETCH_BIN, "@127.0.0.1", std::to_string(port_), request_},
                         {BLOCKFRAME_BIN, "-d"},
                         {FFMPEG_BIN, "-nostdin", "-v", "error", "-f", "mp3", "-i", "-", "-ac", "1",
                          "-ar", std::to_string(SAMPLE_RATE), "-f", "wav", "-y", l->wav}});
        bool began = l->chain.size() == 3 &&
                     wait_for([&] { return fetched_bytes(*l->chain[0]) > HEADER.size(); }, 10000);
        l->began = std::chrono::steady_clock::now();
        return began;
    }
    // Stops its feedfetch LISTEN_MS after its first bytes; blockframe -d and the decoder then
    // end with their input.
    void stop_listening(Listening* l) {
        auto due = l->began + std::chrono::milliseconds(LISTEN_MS);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            due - std::chrono::steady_clock::now());
        if (left.count() > 0) sleep_for_ms(static_cast<int>(left.count()));
        stop(*l->chain[0]);
        l->seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - l->began).count();
    }
    std::string request_ = temp_file("GET / HTTP/1.0\r\n\r\n");
};

// The encoder is `ffmpeg -re` with a 440 Hz sine at 128 kbit/s; the late listener joins 3 s
// after the first, inside some MP3 frame, since blocks are cut without regard to frames: the
// relay joins it at a block boundary and the decoder finds the next frame.
TEST_F(RealAudio, AnEncodersToneReachesEachListenerAsA440HzTone) {
    start_relay();
    std::vector<Child*> encoder =
        start_chain({{FFMPEG_BIN, "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                      "sine=frequency=440:sample_rate=" + std::to_string(SAMPLE_RATE), "-c:a",
                      "libmp3lame", "-b:a", "128k", "-f", "mp3", "-"},
                     {BLOCKFRAME_BIN, "-s", "4368"},
                     {FEEDSEND_BIN, "@127.0.0.1", std::to_string(port_)}});
    ASSERT_EQ(3U, encoder.size());
    ASSERT_TRUE(wait_for(
        [&] { return stderr_of(*encoder[2]).find(" bytes in ") != std::string::npos; }, 10000))
        << "the encoder's stream did not reach the relay: " << stderr_of(*encoder[0]);
    Listening first{};
    Listening late{};
    ASSERT_TRUE(listen(&first)) << "no stream reached the first listener";
    sleep_for_ms(3000);
    ASSERT_TRUE(listen(&late)) << "no stream reached the late listener";
    stop_listening(&first);
    stop_listening(&late);
    EXPECT_FALSE(has_exited(*encoder[0])) << "the encoder ended: " << stderr_of(*encoder[0]);
    for (Listening* l : {&first, &late}) {
        SCOPED_TRACE(l == &first ? "the first listener" : "the late listener");
        Child& decoder = *l->chain[2];
        EXPECT_EQ(0, wait_exit(*l->chain[1], 10000)) << "blockframe -d did not end with its input";
        ASSERT_EQ(0, wait_exit(decoder, 20000)) << stderr_of(decoder);
        std::vector<std::int16_t> samples = wav_samples(l->wav);
        // The relay sends a new listener its newest block from its start, up to two blocks'
        // time back; the block in flight at the stop is cut short and left out. The rest is a
        // loaded machine's slack.
        EXPECT_NEAR(l->seconds, static_cast<double>(samples.size()) / SAMPLE_RATE,
                    3 * BLOCK_SECONDS + 0.5);
        EXPECT_NEAR(440.0, tone_hz(samples), 2.0);
        // A listener that joins inside a frame's bit reservoir gets one complaint about the first
        // frame it decodes ("invalid new backstep"); every later frame decodes without a word.
        EXPECT_LE(count_of(stderr_of(decoder), "\n"), 1U) << stderr_of(decoder);
    }
}

}  // namespace

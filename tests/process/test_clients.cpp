// feedsend and feedfetch against small loopback servers of the test's own, and end to end
// through relayhub.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "fixture.h"
#include "wire.h"

using namespace testkit;

namespace {

const std::string HEADER(RESPONSE_HEADER, RESPONSE_HEADER_SIZE);

struct UsageCase {
    const char* name;
    std::vector<std::string> argv;
    std::string usage;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

const UsageCase USAGE_CASES[] = {
    {"feedsend without arguments",
     {FEEDSEND_BIN},
     "Usage: \n1) dir | feedsend @127.0.0.1 8888 2>log\n2) dir | feedsend www.example.com 80   "
     "2>log\n"},
    {"feedsend with a host only",
     {FEEDSEND_BIN, "@127.0.0.1"},
     "Usage: \n1) dir | feedsend @127.0.0.1 8888 2>log\n2) dir | feedsend www.example.com 80   "
     "2>log\n"},
    {"feedfetch with host and port only",
     {FEEDFETCH_BIN, "@127.0.0.1", "8888"},
     "Usage: \n1) feedfetch @127.0.0.1 8888 http_header_file >data 2>log\n"
     "2) feedfetch www.example.com 80 http_header_file >data 2>log\n"},
};

class ClientUsage : public ProcessTest, public testing::WithParamInterface<UsageCase> {};

TEST_P(ClientUsage, TooFewArgumentsGiveTheUsageAndStatusOne) {
    Child& client = start(GetParam().argv);
    EXPECT_EQ(1, wait_exit(client, 5000));
    EXPECT_EQ(GetParam().usage, stdout_of(client));
    EXPECT_EQ("", stderr_of(client));
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

TEST_P(ClientProgress, WithNothingListeningRetriesWithoutGatheringDescriptors) {
    std::string empty = temp_file("");
    Child& client =
        start({GetParam().program, GetParam().host, std::to_string(free_port()), empty});
    ASSERT_TRUE(wait_for([&] { return count_of(stderr_of(client), "Connecting...") >= 20; }, 5000));
    std::string log = stderr_of(client);
    // Each refused attempt ends in "Connecting..." directly followed by the next attempt.
    EXPECT_NE(std::string::npos, log.find("Connecting...Opening socket...Done.\n"));
    int most = 0;
    for (int k = 0; k < 20; ++k) {
        most = std::max(most, open_fd_count(client.pid));
        sleep_for_ms(25);
    }
    // Standard input, output and error, plus at most the one socket of the current attempt.
    EXPECT_LE(most, 4);
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

TEST_F(Feedsend, APeerThatGoesAwayIsReportedAndTheRestFollowsOnTheNextConnection) {
    int port = 0;
    int server = own(listen_loopback(&port));
    Child& sender = start({FEEDSEND_BIN, "@127.0.0.1", std::to_string(port)}, Input::PIPE);
    int first = own(accept_within(server, 5000));
    ASSERT_GE(first, 0);
    std::string a = pattern_payload(1460, 1);
    ASSERT_EQ((ssize_t)a.size(), write(sender.input_fd, a.data(), a.size()));
    EXPECT_EQ(a, recv_for(first, a.size(), 3000));
    // Reset: the next sends fail; SIGPIPE must not end the sender.
    linger hard{1, 0};
    setsockopt(first, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    shutdown(first, SHUT_RDWR);
    for (int k = 0; k < 4; ++k) {
        std::string more = pattern_payload(1460, static_cast<std::uint32_t>(10 + k));
        ASSERT_EQ((ssize_t)more.size(), write(sender.input_fd, more.data(), more.size()));
        sleep_for_ms(50);
    }
    EXPECT_TRUE(
        wait_for([&] { return stderr_of(sender).find("send error: ") != std::string::npos; }, 3000))
        << stderr_of(sender);
    int second = own(accept_within(server, 9000));
    ASSERT_GE(second, 0);
    EXPECT_FALSE(has_exited(sender));
    std::string last = pattern_payload(1460, 99);
    ASSERT_EQ((ssize_t)last.size(), write(sender.input_fd, last.data(), last.size()));
    std::string got = recv_for(second, 1 << 20, 1000);
    EXPECT_GE(got.size(), last.size());
    EXPECT_EQ(last, got.substr(got.size() - last.size())) << "later input did not follow";
}

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

class EndToEnd : public ProcessTest {};

TEST_F(EndToEnd, AFetcherGetsTheHeaderAndTheSendersStreamFromABlockBoundary) {
    start_relay();
    std::string request = temp_file("GET / HTTP/1.0\r\n\r\n");
    Child& sender = start({FEEDSEND_BIN, "@127.0.0.1", std::to_string(port_)}, Input::PIPE);
    std::string stream;
    std::vector<std::size_t> boundaries;
    auto feed = [&](int first, int n) {
        for (int k = first; k < first + n; ++k) {
            std::string b = make_block(pattern_payload(2000, static_cast<std::uint32_t>(k)),
                                       static_cast<std::uint32_t>(k));
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

}  // namespace

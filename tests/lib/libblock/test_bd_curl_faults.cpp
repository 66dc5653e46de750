// The "curl" driver against servers that misbehave on purpose: answers
// that do not hold the range asked for, no length, a body cut short, and
// transfers that stall until the caller asks to stop.
#include <curl/curl.h>

#include <atomic>
#include <thread>

#include "curl_test_util.h"
#include "img_test_util.h"

namespace {

using namespace curl_test;
using img_test::same_bytes;

constexpr int k_wait_ms = 60000;  // only reached when something is wrong

const std::string g_body = img_test::disk_data(64 * 1024 + 3, 5);

void send_head(int fd, const std::string& status, const std::string& headers) {
    send_all(fd, "HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\n\r\n");
}

// A read whose answer holds other bytes than the range asked for fails:
// bytes from elsewhere in the resource are never returned as the range.
TEST_F(CurlFixture, AnswersThatDoNotHoldTheRangeAreErrors) {
    using answer = std::function<void(int fd, const seen_request& req)>;
    const struct {
        const char* what;
        answer ranged;  // the answer to a request with Range
        int64_t off;
        std::string msg;  // "" for a good read
    } rows[] = {
        {"Range ignored, read from the start", [](int fd, const seen_request&) {
             send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(g_body.size()) +
                              "\r\nConnection: close\r\n\r\n" + g_body);
         }, 0, ""},
        {"Range ignored", [](int fd, const seen_request&) {
             send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(g_body.size()) +
                              "\r\nConnection: close\r\n\r\n" + g_body);
         }, 4096, "range [4096-5095] not served: status=200 content_range_start=-1"},
        {"partial answer from another start", [](int fd, const seen_request& req) {
             seen_request moved = req;
             ++moved.range_start;
             ++moved.range_end;
             scripted_http::answer_range(fd, moved, g_body);
         }, 4096, "range [4096-5095] not served: status=206 content_range_start=4097"},
        {"empty partial answer", [](int fd, const seen_request&) {
             send_head(fd, "206 Partial Content", "Content-Range: bytes 4096-4095/65539\r\nContent-Length: 0\r\n");
         }, 4096, "range [4096-5095] answered without data"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        scripted_http srv([&](scripted_http&, int fd, const seen_request& req) {
            if (req.range_start < 0) scripted_http::answer_range(fd, req, g_body);
            else r.ranged(fd, req);
        });
        ASSERT_TRUE(srv.started());
        dev_ptr dev(open(srv.url("/x.bin")));
        ASSERT_TRUE(dev) << verr_msg(&err);
        std::string buf(1000, '\0');
        int64_t n = bd_pread(dev.get(), buf.data(), 1000, r.off);
        if (r.msg.empty()) {
            ASSERT_EQ(n, 1000) << bd_errmsg(dev.get());
            EXPECT_TRUE(same_bytes(buf, g_body.substr(static_cast<size_t>(r.off), 1000)));
        } else {
            EXPECT_EQ(n, -1);
            EXPECT_EQ(bd_errno(dev.get()), VERR_GENERAL_FAILURE);
            EXPECT_EQ(std::string(bd_errmsg(dev.get())), r.msg);
        }
    }
}

TEST_F(CurlFixture, NoLengthFailsTheOpenAfterFiveProbes) {
    scripted_http srv([](scripted_http&, int fd, const seen_request&) {
        send_head(fd, "200 OK", "");
        send_all(fd, g_body);
    });
    ASSERT_TRUE(srv.started());
    dev_ptr dev(open(srv.url("/x.bin")));
    EXPECT_FALSE(dev);
    EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
    EXPECT_STREQ(verr_msg(&err), "Unknown file size or zero-length file");
    EXPECT_EQ(srv.requests().size(), 5u);
}

// The probe ends at the first byte of the body: neither the whole resource
// nor a server that sends the rest slowly holds up the open.
TEST_F(CurlFixture, SizeProbeEndsAtTheFirstBodyByte) {
    const long long huge = 1ll << 40;
    scripted_http srv([&](scripted_http& s, int fd, const seen_request& req) {
        if (req.range_start >= 0) {
            scripted_http::answer_range(fd, req, g_body);
            return;
        }
        send_head(fd, "200 OK", "Content-Length: " + std::to_string(huge) + "\r\n");
        send_all(fd, g_body);
        s.wait_end(fd);  // the rest never comes
    });
    ASSERT_TRUE(srv.started());
    dev_ptr dev(open(srv.url("/x.bin?read_timeout=300")));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_EQ(bd_size(dev.get()), huge);
    EXPECT_TRUE(same_bytes(pread(dev.get(), 100, 50), g_body.substr(100, 50)));
}

// A server that sends its headers and then stalls does not hold the open
// for the read time-out (15 s by default): the probe ends shortly after the
// headers, with the length they name, and the reads go on as usual.
TEST_F(CurlFixture, SizeProbeEndsSoonAfterStalledHeaders) {
    const struct {
        const char* what;
        std::string head;
    } rows[] = {
        {"plain answer", "HTTP/1.1 200 OK\r\nContent-Length: 65539\r\n\r\n"},
        {"interim answer first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 65539\r\n\r\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        scripted_http srv([&](scripted_http& s, int fd, const seen_request& req) {
            if (req.range_start >= 0) {
                scripted_http::answer_range(fd, req, g_body);
                return;
            }
            send_all(fd, r.head);
            s.wait_end(fd);  // no body, no end: until the test ends
        });
        ASSERT_TRUE(srv.started());
        const auto t0 = clock_type::now();
        dev_ptr dev(open(srv.url("/x.bin")));
        const auto took = clock_type::now() - t0;
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_LT(took, std::chrono::seconds(5));
        EXPECT_EQ(bd_size(dev.get()), 65539);
        EXPECT_EQ(srv.requests().size(), 1u);
        EXPECT_TRUE(same_bytes(pread(dev.get(), 100, 50), g_body.substr(100, 50)));
    }
}

TEST_F(CurlFixture, BodyCutShortIsAnError) {
    scripted_http srv([](scripted_http&, int fd, const seen_request& req) {
        if (req.range_start < 0) {
            scripted_http::answer_range(fd, req, g_body);
            return;
        }
        send_head(fd, "206 Partial Content", "Content-Range: bytes " + std::to_string(req.range_start) + "-" +
                                                 std::to_string(req.range_end) + "/65539\r\nContent-Length: " +
                                                 std::to_string(req.range_end - req.range_start + 1) + "\r\n");
        send_all(fd, g_body.substr(static_cast<size_t>(req.range_start), 100));
    });
    ASSERT_TRUE(srv.started());
    dev_ptr dev(open(srv.url("/x.bin")));
    ASSERT_TRUE(dev) << verr_msg(&err);
    std::string buf(4096, '\0');
    EXPECT_EQ(bd_pread(dev.get(), buf.data(), 4096, 512), -1);
    EXPECT_EQ(bd_errno(dev.get()), VERR_GENERAL_FAILURE);
    EXPECT_STREQ(bd_errmsg(dev.get()), curl_easy_strerror(CURLE_PARTIAL_FILE));
}

// A transfer that stalls ends when the caller's stop flag is raised, long
// before its time-out, both in the open's size probe and in a read.
TEST_F(CurlFixture, StopEndsAStalledTransfer) {
    for (bool stall_open : {true, false}) {
        SCOPED_TRACE(stall_open ? "stalled size probe" : "stalled read");
        scripted_http srv([&](scripted_http& s, int fd, const seen_request& req) {
            if (stall_open == (req.range_start < 0)) {
                // The probe gets headers that never end: its own limit
                // only starts after them.
                if (stall_open) send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 65539\r\n");
                else send_head(fd, "200 OK", "Content-Length: 65539\r\n");
                s.wait_end(fd);
                return;
            }
            scripted_http::answer_range(fd, req, g_body);
        });
        ASSERT_TRUE(srv.started());
        stop_flag stop{};
        bd_dev* dev = nullptr;
        int64_t n = 0;
        std::string buf(4096, '\0');
        std::thread worker([&] {
            dev = open(srv.url("/x.bin?read_timeout=120"), OS_PF_RDONLY, &stop);
            if (dev) n = bd_pread(dev, buf.data(), 4096, 0);
        });
        bool stalled = srv.wait_requests(stall_open ? 1 : 2, k_wait_ms);
        stop.stop.store(1);
        worker.join();
        dev_ptr guard(dev);
        ASSERT_TRUE(stalled);
        const std::string aborted = curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK);
        if (stall_open) {
            EXPECT_FALSE(dev);
            EXPECT_EQ(std::string(verr_msg(&err)), aborted);
        } else {
            ASSERT_TRUE(dev) << verr_msg(&err);
            EXPECT_EQ(n, -1);
            EXPECT_EQ(std::string(bd_errmsg(dev)), aborted);
        }
    }
}

}  // namespace

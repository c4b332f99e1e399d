#include "common/curl_easy_helper.h"
#include "common/vcrt_helper.h"

#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Puts the C runtime back as the program start left it.
class CrtTest : public ::testing::Test {
protected:
    void TearDown() override { LoadCrtFunctions(); }
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

struct Source {
    std::string data;
    size_t pos = 0;
};

size_t Serve(char* buffer, size_t size, size_t count, void* source) {
    auto* s = static_cast<Source*>(source);
    const size_t n = std::min(size * count, s->data.size() - s->pos);
    std::memcpy(buffer, s->data.data() + s->pos, n);
    s->pos += n;
    return n;
}

} // namespace

TEST_F(CrtTest, LoadedAtStartAndUsable) {
    ASSERT_TRUE(CrtLoaded);
    ASSERT_NE(CrtFopen, nullptr);
    ASSERT_NE(CrtFclose, nullptr);
    ASSERT_NE(CrtFflush, nullptr);
    ASSERT_NE(CrtSetbuf, nullptr);

    TempDir dir;
    FILE* f = CrtFopen(dir.File("log.txt").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("line\n", f);
    EXPECT_EQ(CrtFflush(f), 0);
    EXPECT_EQ(ReadTextFile(dir.File("log.txt")), "line\n");
    EXPECT_EQ(CrtFclose(f), 0);
    EXPECT_EQ(CrtFopen(dir.File("no/such/dir").c_str(), "wb"), nullptr);
}

TEST_F(CrtTest, AllFourOrNothing) {
    LoadCrtFunctionsFrom("libc.so.6", {"fopen", "fclose", "kv_no_such_function", "setbuf"});
    EXPECT_FALSE(CrtLoaded);
    EXPECT_NE(CrtFopen, nullptr);
    EXPECT_NE(CrtFclose, nullptr);
    EXPECT_EQ(CrtFflush, nullptr);
    EXPECT_NE(CrtSetbuf, nullptr);

    // A miss early on is not forgotten by later hits.
    LoadCrtFunctionsFrom("libc.so.6", {"kv_no_such_function", "fclose", "fflush", "setbuf"});
    EXPECT_FALSE(CrtLoaded);
    EXPECT_EQ(CrtFopen, nullptr);
    EXPECT_NE(CrtSetbuf, nullptr);

    LoadCrtFunctionsFrom("libkv-no-such-library.so.9", {"fopen", "fclose", "fflush", "setbuf"});
    EXPECT_FALSE(CrtLoaded);
    EXPECT_EQ(CrtFopen, nullptr);
    EXPECT_EQ(CrtSetbuf, nullptr);

    LoadCrtFunctions();
    EXPECT_TRUE(CrtLoaded);
    UnloadCrtFunctions();
    EXPECT_FALSE(CrtLoaded);
    EXPECT_EQ(CrtFopen, nullptr);
    EXPECT_EQ(CrtFclose, nullptr);
    EXPECT_EQ(CrtFflush, nullptr);
    EXPECT_EQ(CrtSetbuf, nullptr);
}

TEST(CurlHelper, TextOptionOutlivesItsString) {
    TempDir dir;
    WriteTextFile(dir.File("source.txt"), "payload");
    CurlGlobalScope global;
    ASSERT_EQ(global.Result(), CURLE_OK);
    CurlEasyHandle curl = CurlEasyInit();
    ASSERT_TRUE(curl);
    {
        std::string url = "file://" + dir.File("source.txt");
        ASSERT_EQ(CurlSetOptStr(curl.get(), CURLOPT_URL, url), CURLE_OK);
        url.assign(url.size(), 'x'); // the caller's text is overwritten, then freed
    }
    std::string received;
    ASSERT_EQ(curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Collect), CURLE_OK);
    ASSERT_EQ(CurlSetOptPtr(curl.get(), CURLOPT_WRITEDATA, &received), CURLE_OK);
    EXPECT_EQ(curl_easy_perform(curl.get()), CURLE_OK);
    EXPECT_EQ(received, "payload");
}

// The way the transfer code uses the binding: an upload from a read callback with libcurl's
// verbose log going to a stream of the loaded C runtime.
TEST(CurlHelper, UploadWithVerboseLogToCrtStream) {
    ASSERT_TRUE(CrtLoaded);
    TempDir dir;
    CurlGlobalScope global;
    CurlEasyHandle curl = CurlEasyInit();
    ASSERT_TRUE(curl);
    Source source{"uploaded bytes"};
    FILE* log = CrtFopen(dir.File("detail.txt").c_str(), "wb");
    ASSERT_NE(log, nullptr);

    CURL* h = curl.get();
    EXPECT_EQ(CurlSetOptStr(h, CURLOPT_URL, "file://" + dir.File("target.txt")), CURLE_OK);
    EXPECT_EQ(CurlSetOptLong(h, CURLOPT_UPLOAD, 1), CURLE_OK);
    EXPECT_EQ(CurlSetOptLong(h, CURLOPT_INFILESIZE, long(source.data.size())), CURLE_OK);
    EXPECT_EQ(CurlSetReadFunction(h, Serve), CURLE_OK);
    EXPECT_EQ(CurlSetOptPtr(h, CURLOPT_READDATA, &source), CURLE_OK);
    EXPECT_EQ(CurlSetOptLong(h, CURLOPT_VERBOSE, 1), CURLE_OK);
    EXPECT_EQ(CurlSetOptPtr(h, CURLOPT_STDERR, log), CURLE_OK);
    EXPECT_EQ(curl_easy_perform(h), CURLE_OK);
    curl_easy_reset(h);
    EXPECT_EQ(CrtFflush(log), 0);
    EXPECT_EQ(CrtFclose(log), 0);

    EXPECT_EQ(ReadTextFile(dir.File("target.txt")), "uploaded bytes");
    EXPECT_FALSE(ReadTextFile(dir.File("detail.txt")).empty());
}

TEST(CurlHelper, ErrorTexts) {
    EXPECT_EQ(CurlErrorText(CURLE_OK), "No error");
    EXPECT_NE(CurlErrorText(CURLE_COULDNT_CONNECT), "");
    CurlEasyHandle curl = CurlEasyInit();
    ASSERT_TRUE(curl);
    EXPECT_EQ(CurlSetOptStr(curl.get(), CURLOPT_URL, "kvbogus://x"), CURLE_OK);
    const CURLcode rc = curl_easy_perform(curl.get());
    EXPECT_EQ(rc, CURLE_UNSUPPORTED_PROTOCOL);
    EXPECT_EQ(CurlErrorText(rc), curl_easy_strerror(rc));
}

// FTPS uploads to vsftpd with its default require_ssl_reuse=YES: the transfer service's
// destination (TLS capped at 1.2) against the same libcurl set-up without the cap (TLS 1.3),
// measured in the same run. For each upload that libcurl reports as done, the file at the
// server is compared with its source: a "false success" is a result 0 for a file that did not
// arrive whole. Usage: ftps_reuse_bench [files per run] [runs]
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "service/kvtransfer.h"
#include "tests/support/servers.h"

namespace fs = std::filesystem;

namespace {

struct Tally {
    int whole = 0;        // result 0, whole at the server
    int falseSuccess = 0; // result 0, not whole at the server
    int failed = 0;       // result not 0
    int failedButWhole = 0;
    int emptyLeft = 0; // failed, an empty file left at the server
    double seconds = 0;
};

std::string RandomBytes(size_t size, std::mt19937& generator) {
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xff);
    return bytes;
}

// A source tree <dir>/export/SHOP1/caisse/fNNN.txt of `count` files, 0 to 100 KiB.
std::vector<std::string> MakeSources(const std::string& dir, int count,
                                     std::vector<std::string>& contents) {
    std::mt19937 generator(42);
    std::string caisse = dir + "/export/SHOP1/caisse";
    fs::create_directories(caisse);
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%04d.txt", i);
        contents.push_back(RandomBytes(generator() % (100 * 1024), generator));
        paths.push_back(caisse + "/" + name);
        WriteTextFile(paths.back(), contents.back());
    }
    return paths;
}

void Count(Tally& tally, bool ok, const std::string& arrived, const std::string& content) {
    bool exists = FileExists(arrived);
    bool whole = exists && ReadTextFile(arrived) == content;
    if (ok) {
        (whole ? tally.whole : tally.falseSuccess)++;
        return;
    }
    tally.failed++;
    if (whole)
        tally.failedButWhole++;
    else if (exists && fs::file_size(arrived) == 0)
        tally.emptyLeft++;
}

// The service's own destination: every option as the service sets it.
Tally RunService(const FtpServer& server, const std::vector<std::string>& paths,
                 const std::vector<std::string>& contents) {
    TTransportConfig config;
    config.Transport = ttFtps;
    config.Destination[0] = server.Host();
    config.Port = server.Port();
    config.Username = server.User();
    config.Password = server.Password();
    TDestinationTransfer transfer({});
    transfer.Prepare(config, 0);
    Tally tally;
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < paths.size(); ++i) {
        bool ok = true;
        try {
            transfer.Transfer(paths[i]);
        } catch (const std::exception&) {
            ok = false;
        }
        std::string name = fs::path(paths[i]).filename().string();
        Count(tally, ok, server.RootDir() + "/SHOP1/caisse/" + name, contents[i]);
    }
    tally.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    transfer.Finish();
    return tally;
}

struct Source {
    const std::string* data;
    size_t offset = 0;
};

size_t ReadSource(char* buffer, size_t size, size_t count, void* stream) {
    auto* source = static_cast<Source*>(stream);
    size_t n = std::min(size * count, source->data->size() - source->offset);
    std::copy_n(source->data->data() + source->offset, n, buffer);
    source->offset += n;
    return n;
}

// The same options on a bare handle, without the TLS cap; only libcurl's result counts.
Tally RunUncapped(const FtpServer& server, const std::vector<std::string>& paths,
                  const std::vector<std::string>& contents) {
    CURL* curl = curl_easy_init();
    std::string userPassword = server.User() + ":" + server.Password();
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_FTP_RESPONSE_TIMEOUT, 100L);
    curl_easy_setopt(curl, CURLOPT_USERPWD, userPassword.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 0L);
    curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_FTP_CREATE_MISSING_DIRS, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadSource);
    Tally tally;
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string name = fs::path(paths[i]).filename().string();
        std::string url = server.Url("SHOP1/caisse/" + name);
        Source source{&contents[i]};
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(contents[i].size()));
        curl_easy_setopt(curl, CURLOPT_READDATA, &source);
        bool ok = curl_easy_perform(curl) == CURLE_OK;
        Count(tally, ok, server.RootDir() + "/SHOP1/caisse/" + name, contents[i]);
    }
    tally.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    curl_easy_cleanup(curl);
    return tally;
}

void Print(const char* what, const Tally& t) {
    std::printf("%-34s %5d whole  %3d false successes  %4d failed (%d whole, %d empty left)  "
                "%6.2f s\n",
                what, t.whole, t.falseSuccess, t.failed, t.failedButWhole, t.emptyLeft, t.seconds);
}

} // namespace

int main(int argc, char** argv) {
    int files = argc > 1 ? std::atoi(argv[1]) : 300;
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    std::string reason = FtpServer::UnavailableReason();
    if (!reason.empty()) {
        std::printf("skipped: %s\n", reason.c_str());
        return 0;
    }
    curl_global_init(CURL_GLOBAL_ALL);
    TempDir dir;
    std::vector<std::string> contents;
    std::vector<std::string> paths = MakeSources(dir.Path(), files, contents);
    for (int run = 1; run <= runs; ++run) {
        std::printf("run %d, %d files to vsftpd with require_ssl_reuse=YES\n", run, files);
        {
            FtpServer server(FtpOptions{.tls = true, .requireSslReuse = true});
            Print("  service (TLS capped at 1.2)", RunService(server, paths, contents));
        }
        {
            FtpServer server(FtpOptions{.tls = true, .requireSslReuse = true});
            Print("  anchor: same options, TLS 1.3", RunUncapped(server, paths, contents));
        }
    }
    curl_global_cleanup();
    return 0;
}

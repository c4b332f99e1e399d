// The transfer library binding: libcurl is linked when the program loads, so a program without
// it does not start. Besides the seven libcurl functions the programs call (curl_global_init,
// curl_global_cleanup, curl_easy_init, curl_easy_setopt, curl_easy_perform, curl_easy_strerror,
// curl_easy_cleanup, all from <curl/curl.h>), this unit gives typed forms of curl_easy_setopt
// and owners for the easy handle and the global initialisation.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

// curl_easy_setopt with a text option. libcurl copies text options, so `Value` only has to
// live for the duration of the call.
CURLcode CurlSetOptStr(CURL* Handle, CURLoption Option, const std::string& Value);
// curl_easy_setopt with an integer (long) option.
CURLcode CurlSetOptLong(CURL* Handle, CURLoption Option, long Value);
// curl_easy_setopt with a data pointer option (callback data, a C FILE stream, nullptr).
CURLcode CurlSetOptPtr(CURL* Handle, CURLoption Option, void* Value);
// curl_easy_setopt with CURLOPT_READFUNCTION.
CURLcode CurlSetReadFunction(CURL* Handle, curl_read_callback Callback);
// Message text of a libcurl result code.
std::string CurlErrorText(CURLcode Code);

// An easy handle that is released with curl_easy_cleanup.
struct CurlEasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyHandle = std::unique_ptr<CURL, CurlEasyCleanup>;
// curl_easy_init into an owner; holds nullptr when libcurl could not make a handle.
CurlEasyHandle CurlEasyInit();

// One transfer run: curl_global_init with CURL_GLOBAL_ALL (3, SSL and platform sockets) when
// made, curl_global_cleanup when it goes (only when the initialisation succeeded).
class CurlGlobalScope {
public:
    CurlGlobalScope();
    ~CurlGlobalScope();
    CurlGlobalScope(const CurlGlobalScope&) = delete;
    CurlGlobalScope& operator=(const CurlGlobalScope&) = delete;

    // Result of curl_global_init.
    CURLcode Result() const { return result_; }

private:
    CURLcode result_;
};

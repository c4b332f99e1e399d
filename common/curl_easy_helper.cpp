#include "common/curl_easy_helper.h"

CURLcode CurlSetOptStr(CURL* Handle, CURLoption Option, const std::string& Value) {
    return curl_easy_setopt(Handle, Option, Value.c_str());
}

CURLcode CurlSetOptLong(CURL* Handle, CURLoption Option, long Value) {
    return curl_easy_setopt(Handle, Option, Value);
}

CURLcode CurlSetOptPtr(CURL* Handle, CURLoption Option, void* Value) {
    return curl_easy_setopt(Handle, Option, Value);
}

CURLcode CurlSetReadFunction(CURL* Handle, curl_read_callback Callback) {
    return curl_easy_setopt(Handle, CURLOPT_READFUNCTION, Callback);
}

std::string CurlErrorText(CURLcode Code) {
    const char* text = curl_easy_strerror(Code);
    return text ? text : std::string();
}

CurlEasyHandle CurlEasyInit() {
    return CurlEasyHandle(curl_easy_init());
}

CurlGlobalScope::CurlGlobalScope() : result_(curl_global_init(CURL_GLOBAL_ALL)) {}

CurlGlobalScope::~CurlGlobalScope() {
    if (result_ == CURLE_OK)
        curl_global_cleanup();
}

// Arbitrary bytes into every decoder of the service manager: client requests, answers,
// channel messages, registry files and launch reports. A decoder either raises its error or
// returns values that encode back to the very same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/svcmgr/svcmgr_launch.h"
#include "platform/svcmgr/svcmgr_proto.h"
#include "platform/svcmgr/svcmgr_registry.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void Requests(const std::string& bytes) {
    try {
        svcproto::TClientRequest request = svcproto::DecodeRequest(bytes.data(), bytes.size());
        const std::string again = svcproto::EncodeRequest(request);
        // Only an older client's Create, which has no start type, encodes otherwise: with the
        // default start type, and that form is stable.
        Check(again == bytes ||
              (request.Op == svcproto::TOp::Create && request.StartType == SERVICE_DEMAND_START &&
               again.size() == bytes.size() + 4 &&
               svcproto::EncodeRequest(svcproto::DecodeRequest(again.data(), again.size())) ==
                   again));
    } catch (const EOSError&) {
    }
}

void ChannelMessages(const std::string& bytes) {
    try {
        TServiceStatus status = svcproto::DecodeStatusReport(bytes.data(), bytes.size());
        Check(svcproto::EncodeStatusReport(status) == bytes);
    } catch (const EOSError&) {
    }
    try {
        uint32_t code = svcproto::DecodeControlCode(bytes.data(), bytes.size());
        Check(svcproto::EncodeControlCode(code) == bytes);
    } catch (const EOSError&) {
    }
}

void Answers(const std::string& bytes) {
    try {
        svcproto::TAnswer answer = svcproto::DecodeAnswer(bytes.data(), bytes.size());
        Check(svcproto::EncodeAnswer(answer.Op, answer.Code, answer.Payload) == bytes);
        try {
            svcproto::CheckAnswer(answer);
        } catch (const EOSError& e) {
            Check(e.Code == answer.Code);
        }
        try {
            auto list = svcproto::DecodeListPayload(answer.Payload);
            Check(svcproto::EncodeListPayload(list) == answer.Payload);
        } catch (const EOSError&) {
        }
        try {
            auto config = svcproto::DecodeConfigPayload(answer.Payload);
            const std::string again = svcproto::EncodeConfigPayload(config);
            // An older manager's payload has no start type: it gains the default one.
            Check(again == answer.Payload ||
                  (config.StartType == SERVICE_DEMAND_START &&
                   again.size() == answer.Payload.size() + 4 &&
                   svcproto::EncodeConfigPayload(svcproto::DecodeConfigPayload(again)) == again));
        } catch (const EOSError&) {
        }
    } catch (const EOSError&) {
    }
}

void RegistryFiles(const std::string& text) {
    try {
        TRegisteredService service = TServiceRegistry::Parse(text);
        Check(TServiceRegistry::Parse(TServiceRegistry::Serialize(service)).Password ==
              service.Password);
    } catch (const EOSError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    Requests(bytes);
    ChannelMessages(bytes);
    Answers(bytes);
    RegistryFiles(bytes);
    TLaunchResult result = ParseLaunchReport(bytes);
    Check(result.Ok == bytes.empty());
    return 0;
}

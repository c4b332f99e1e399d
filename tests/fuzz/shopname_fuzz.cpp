// Shop names come from directory names on disk: any bytes but "/" and NUL. The check must
// accept or refuse each of them with a message that quotes a piece of the name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/errors.h"
#include "service/sds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    std::string compact;
    for (char c : name)
        if (c != ' ')
            compact += c;
    try {
        CheckShopName(name);
    } catch (const Exception& e) {
        const std::string message = e.what();
        if (!compact.empty() && message.find(compact) == std::string::npos &&
            compact.find('\0') == std::string::npos)
            std::abort(); // the message must name the shop
    }
    (void)IsReservedShopDir(name);
    (void)ChainEntryForward(name);
    return 0;
}

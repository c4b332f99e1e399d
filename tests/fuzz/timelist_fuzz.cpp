// Time lists come from the configuration file and from the console's edit box: any text. A
// list that parses prints as a text that parses again to the same times cut to the minute, and
// the schedule queries only ever answer one of the listed times.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/timelist.h"
#include "platform/errors.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool IsListed(const TTimeList& list, TDateTime t) {
    for (int32_t entry : list.Items()) {
        if (std::fabs(entry / 86400.0 - t) < 1e-12) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    TTimeList list("");
    try {
        list.SetText(text);
    } catch (const EConvertError& e) {
        Check(std::strncmp(e.what(), "Wrong time value \"", 18) == 0);
        for (int32_t entry : list.Items()) {
            Check(entry >= 0 && entry < 86400);
        }
        return 0;
    }
    Check(std::is_sorted(list.Items().begin(), list.Items().end()));
    TTimeList again(list.GetText()); // must not raise
    Check(again.Count() == list.Count());
    for (int i = 0; i < list.Count(); ++i) {
        Check(list.Items()[i] >= 0 && list.Items()[i] < 86400);
        Check(again.Items()[i] == list.Items()[i] / 60 * 60);
    }
    Check(again.GetText() == list.GetText());

    // A moment made from the first bytes of the input.
    double moment = 45000.5;
    if (size >= sizeof moment) {
        std::memcpy(&moment, data, sizeof moment);
    }
    const TDateTime nearest = list.NearestTime(moment);
    const TDateTime next = list.NextTime(moment);
    Check(nearest == -1.0 / 86400.0 || IsListed(list, nearest));
    Check(next == -1.0 || IsListed(list, next));
    return 0;
}

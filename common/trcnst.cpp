#include "common/trcnst.h"

#include <array>

#include "common/langtext.h"
#include "common/strutil.h"

namespace {

const std::array<const char*, 7> ProxyNames = {
    langtext::ProxyNone,    langtext::ProxyUserAtSite, langtext::ProxySite,
    langtext::ProxyOpen,    langtext::ProxyUserPass,   langtext::ProxyUserPassUserPass,
    langtext::ProxyHttpFtp,
};

} // namespace

std::string TransferTypeToName(TTransferType type) {
    switch (type) {
    case ttCopy:
        return langtext::TransferCopy;
    case ttFtps:
        return langtext::TransferFtps;
    case ttSftp:
        return langtext::TransferSftp;
    default:
        return langtext::TransferFtp;
    }
}

TTransferType TransferTypeFromName(std::string_view name) {
    if (SameText(name, langtext::TransferFtp)) {
        return ttFtp;
    }
    if (SameText(name, langtext::TransferFtps)) {
        return ttFtps;
    }
    if (SameText(name, langtext::TransferSftp)) {
        return ttSftp;
    }
    if (SameText(name, langtext::TransferCopy)) {
        return ttCopy;
    }
    return ttFtp;
}

std::string TransferTypeToUrlScheme(TTransferType type) {
    switch (type) {
    case ttFtp:
    case ttFtps:
        return langtext::SchemeFtp;
    case ttSftp:
        return langtext::SchemeSftp;
    default:
        return "";
    }
}

std::string ProxyTypeToName(TProxyType type) {
    return type <= ptLast ? ProxyNames[type] : langtext::ProxyNone;
}

TProxyType ProxyTypeFromName(std::string_view name) {
    for (TProxyType t = ptUserAtSite; t <= ptLast; ++t) {
        if (SameText(name, ProxyNames[t])) {
            return t;
        }
    }
    return ptNone;
}

std::string MakeUrlScheme(std::string_view name) {
    return LowerCaseAscii(name) + langtext::SchemeSuffix;
}

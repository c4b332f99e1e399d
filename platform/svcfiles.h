// The files that a service program writes beside itself (its configuration, its logs). The
// program lists them in its ELF section ".svcfiles", names separated by NUL characters:
//
//     SVC_WRITABLE_FILES("service.ini\0service.log");
//
// The service manager reads that list from the program file, which is root's, before it runs
// the service, and gives those files (and no others) to the service's logon account.
#pragma once

#define SVC_WRITABLE_FILES(names)                                                                  \
    __attribute__((section(".svcfiles"), used)) static const char kServiceWritableFiles[] = names

inline constexpr char ServiceFilesSection[] = ".svcfiles";

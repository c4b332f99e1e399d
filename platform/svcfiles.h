// What a service program declares to the service manager, in ELF sections of the program file
// (root's), names separated by NUL characters:
// - the files it writes beside itself (its configuration, its logs), which the manager gives
//   (and no others) to the service's logon account before it runs the service:
//       SVC_WRITABLE_FILES("service.ini\0service.log");
// - the names of the pipes it serves, which the manager binds for this service alone, whether
//   it runs or not:
//       SVC_PIPE_NAMES("ServiceInfo\0ServiceControl");
#pragma once

#define SVC_WRITABLE_FILES(names)                                                                  \
    __attribute__((section(".svcfiles"), used)) static const char kServiceWritableFiles[] = names

inline constexpr char ServiceFilesSection[] = ".svcfiles";

#define SVC_PIPE_NAMES(names)                                                                      \
    __attribute__((section(".svcpipes"), used)) static const char kServicePipeNames[] = names

inline constexpr char ServicePipesSection[] = ".svcpipes";

#include "common/vcrt_helper.h"

#include "platform/dynlib.h"

bool CrtLoaded = false;
TCrtFopen CrtFopen = nullptr;
TCrtFclose CrtFclose = nullptr;
TCrtFflush CrtFflush = nullptr;
TCrtSetbuf CrtSetbuf = nullptr;

namespace {

constexpr char kCrtLibrary[] = "libc.so.6";
constexpr std::array<const char*, 4> kCrtNames = {"fopen", "fclose", "fflush", "setbuf"};

DynLib& CrtLibrary() {
    // Constructed on first use so that the start-up below may run before or after the
    // other static objects of this unit; destroyed after UnloadCrtFunctions has emptied it.
    static DynLib library;
    return library;
}

template <typename F> void Resolve(const DynLib& library, const char* name, F& address) {
    void* symbol = library.Symbol(name);
    address = reinterpret_cast<F>(symbol);
    CrtLoaded = CrtLoaded && symbol != nullptr;
}

// Loads the functions when the program starts and frees them when it ends.
struct CrtStartUp {
    CrtStartUp() { LoadCrtFunctions(); }
    ~CrtStartUp() { UnloadCrtFunctions(); }
} crtStartUp;

} // namespace

void LoadCrtFunctionsFrom(const std::string& library, const std::array<const char*, 4>& names) {
    UnloadCrtFunctions();
    CrtLoaded = true;
    CrtLibrary() = DynLib(library);
    Resolve(CrtLibrary(), names[0], CrtFopen);
    Resolve(CrtLibrary(), names[1], CrtFclose);
    Resolve(CrtLibrary(), names[2], CrtFflush);
    Resolve(CrtLibrary(), names[3], CrtSetbuf);
}

void LoadCrtFunctions() {
    LoadCrtFunctionsFrom(kCrtLibrary, kCrtNames);
}

void UnloadCrtFunctions() {
    CrtLoaded = false;
    CrtLibrary().Reset();
    CrtFopen = nullptr;
    CrtFclose = nullptr;
    CrtFflush = nullptr;
    CrtSetbuf = nullptr;
}

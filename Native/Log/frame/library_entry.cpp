// Load-time entry of the shipped library: DllMain on Windows, a shared-object
// constructor on Linux. Both run module start-up once per process.
#include "frame/module.h"

#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) actlog::InitializeLogModule();
    return TRUE;
}
#else
__attribute__((constructor)) static void LogLibraryLoaded() { actlog::InitializeLogModule(); }
#endif

// Linked into the runtime double's Windows build ahead of the C runtime: its report is replaced with
// rename(), which POSIX lets overwrite the target and the Windows C runtime does not.
#include <windows.h>

extern "C" int rename(const char* source, const char* target) {
  return ::MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

// The one place that calls VISA. VISA is bound at run time on first use, never linked, so the
// library loads and answers with a status where no VISA is installed:
// - a missing VISA library gives VI_ERROR_LIBRARY_NFOUND, a library without one of the six entry
//   points (or a lock that cannot be taken) VI_ERROR_SYSTEM_ERROR; the next call tries again;
// - the first name that loads decides; it is never passed over for the next name;
// - resource-manager sessions opened with a status of 0 or above are remembered (up to 256) and
//   closed when the library is unloaded, together with the VISA library.
#pragma once

#include "session/visa_api.h"

namespace zolvane::visa {

ViStatus openDefaultRM(ViSession *rm);
ViStatus open(ViSession rm, const char *resource, ViAccessMode mode, ViUInt32 openTimeout,
              ViSession *vi);
ViStatus setAttribute(ViObject vi, ViAttr attr, ViAttrState value);
ViStatus close(ViObject vi);

// viPrintf with the command as the format: its closing "\n" must be in the format, since VISA
// sends END and flushes only there.
ViStatus printf(ViSession vi, const char *format);
ViStatus printf(ViSession vi, const char *format, int value);
ViStatus printf(ViSession vi, const char *format, const char *text);
// viQueryf with one string destination for the read format.
ViStatus queryf(ViSession vi, const char *query, const char *readFormat, char *destination);

// Closes every remembered resource-manager session and releases VISA (at unload).
void unbind();

#if defined(_WIN32)
// Loads visa32.dll from the program's folder, the folders added with AddDllDirectory or
// SetDllDirectory, or the system folder; never from the current folder (unless it is the
// program's), where a planted DLL would run inside the station.
void *loadVisa();
// The same search by full paths, for a Windows whose loader lacks the search flags: the
// program's folder, the SetDllDirectory folder, the system folder.
void *loadVisaByFullPaths();
#endif

}  // namespace zolvane::visa

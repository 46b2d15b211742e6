// The platform as the shipped program sees it: the Windows SDK's own
// declarations, ANSI forms. Nothing else of the program includes a system
// header directly.
#ifndef KORVALUP_PLATFORM_H
#define KORVALUP_PLATFORM_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#endif

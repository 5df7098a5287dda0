// The platform the player runs on, by the platform's own names.
// On Windows these are the real kernel32, winmm and C runtime; elsewhere our
// own layer in src/platform/linux gives the same subset with the same record
// layouts, constants and return codes.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#include <io.h>
#include <fcntl.h>
#else
#include "platform/linux/base/win_types.h"
#include "platform/linux/win32/kernel32.h"
#include "platform/linux/base/mmsystem.h"
#include "platform/linux/win32/crt.h"
#include "platform/linux/base/layer_lines.h"
#endif

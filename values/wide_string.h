// Wide text owned by the plug-in.
#pragma once
#include <windows.h>

#include <string>

using WideString = std::basic_string<WCHAR>;

// The open modes the tests pass, by name, built from the flags as callers
// combine them (the numbers are what a trace of a real caller shows).
#pragma once
#include <objbase.h>

inline constexpr DWORD kModeRead = STGM_READ | STGM_SHARE_EXCLUSIVE;            // 0x10
inline constexpr DWORD kModeReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;  // 0x12
inline constexpr DWORD kModeCreate = STGM_CREATE | kModeReadWrite;              // 0x1012
inline constexpr DWORD kModeReadDenyWrite = STGM_READ | STGM_SHARE_DENY_WRITE;  // 0x20

// The plug-in's type library VELMORALib 1.0: class ids, the plug-in's own
// interfaces and their identifiers.
#pragma once
#include <windows.h>
#include <ole2.h>

#include "host/vlt_records.h"

// {EEF90444-7203-CA1F-B072-9A3D5354BC0E}
inline constexpr GUID LIBID_VELMORALib = {
    0xEEF90444, 0x7203, 0xCA1F, {0xB0, 0x72, 0x9A, 0x3D, 0x53, 0x54, 0xBC, 0x0E}};
// {0D8708AD-A9F4-C810-A862-5D84D75FBB4D}
inline constexpr CLSID CLSID_CompDocFormats = {
    0x0D8708AD, 0xA9F4, 0xC810, {0xA8, 0x62, 0x5D, 0x84, 0xD7, 0x5F, 0xBB, 0x4D}};
// {51BA3E78-ECB2-16F4-A22E-A41505A64625}
inline constexpr CLSID CLSID_CompDocFile = {
    0x51BA3E78, 0xECB2, 0x16F4, {0xA2, 0x2E, 0xA4, 0x15, 0x05, 0xA6, 0x46, 0x25}};
// {ABD65AEF-F006-4E7A-580E-9CE7DCF75952}
inline constexpr IID IID_ICompDocFormats = {
    0xABD65AEF, 0xF006, 0x4E7A, {0x58, 0x0E, 0x9C, 0xE7, 0xDC, 0xF7, 0x59, 0x52}};
// {46A2591E-E875-F365-3921-60BB374BE058}
inline constexpr IID IID_ICompDocFile = {
    0x46A2591E, 0xE875, 0xF365, {0x39, 0x21, 0x60, 0xBB, 0x37, 0x4B, 0xE0, 0x58}};

// The plug-in's own interface of the format descriptor: no operations of its own.
struct ICompDocFormats : public IUnknown {};

// The navigator's priority-ordered single-attribute write and read.
struct ICompDocFile : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AttribSetFirst(LONG lArraySize, VltAttribute* poAttribArray,
                                                   BSTR bsPrioBlockList) = 0;
  virtual HRESULT STDMETHODCALLTYPE AttribGetFirst(LONG lArraySize, VltAttribute* poAttribArray,
                                                   BSTR bsPrioBlockList) = 0;
};

// The records the host exchanges with file-format plug-ins. The host's type
// library fixes their 32-bit layouts (VltAttribute 32 bytes, VltReference 40
// bytes); on 64-bit targets the same fields keep their order with natural
// alignment.
#pragma once
#include <windows.h>
#include <oleauto.h>

// The document cannot be opened (access denied, share or lock violation),
// or an attribute operation failed and caught the failure at its boundary.
#define VLT_E_FILE_ACCESS ((HRESULT)0x8004020BL)

struct VltAttribute {
  BSTR bsName;     // property name within the block
  BSTR bsBlock;    // block name, compared without regard to case
  VARIANT oValue;  // read: receives the value; write: the value to store
  LONG bHandled;   // set to 1 by the plug-in for each record read or written
  LONG lReserved;  // aligns the record; neither read nor written
};

struct VltReference {
  ULONG ulHost0;
  ULONG ulHost1;
  BSTR bsFullPath;  // the link source's display name
  BSTR bsFileName;  // the part of bsFullPath after its last backslash
  LONG lHost4;
  ULONG ulHost5[3];
  LONG lHost8;  // 1 for every discovered reference
  ULONG ulHost9;
};

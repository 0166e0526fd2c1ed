# The type libraries, compiled by widl ($VELMORA_WIDL) into
# ${CMAKE_BINARY_DIR}/typelib: the standard OLE library (for IUnknown), the
# host's library, and the plug-in's own, which imports both; the target
# velmora_typelibs makes them.
set(VELMORA_TLB_DIR ${CMAKE_BINARY_DIR}/typelib)
file(MAKE_DIRECTORY ${VELMORA_TLB_DIR})
set(widl ${VELMORA_WIDL} --win32 -t --nostdinc -I${PROJECT_SOURCE_DIR}/platform/typelib
    -I${PROJECT_SOURCE_DIR}/host -L${VELMORA_TLB_DIR})
add_custom_command(OUTPUT ${VELMORA_TLB_DIR}/stdole2.tlb
  COMMAND ${widl} -o ${VELMORA_TLB_DIR}/stdole2.tlb ${PROJECT_SOURCE_DIR}/platform/typelib/stdole2.idl
  DEPENDS platform/typelib/stdole2.idl platform/typelib/stdole_types.idl)
add_custom_command(OUTPUT ${VELMORA_TLB_DIR}/vlt_host.tlb
  COMMAND ${widl} -o ${VELMORA_TLB_DIR}/vlt_host.tlb ${PROJECT_SOURCE_DIR}/host/vlt_host.idl
  DEPENDS host/vlt_host.idl platform/typelib/stdole_types.idl ${VELMORA_TLB_DIR}/stdole2.tlb)
add_custom_command(OUTPUT ${VELMORA_TLB_DIR}/velmora.tlb
  COMMAND ${widl} -o ${VELMORA_TLB_DIR}/velmora.tlb ${PROJECT_SOURCE_DIR}/module/velmora.idl
  DEPENDS module/velmora.idl host/vlt_host.idl platform/typelib/stdole_types.idl
          ${VELMORA_TLB_DIR}/vlt_host.tlb)
add_custom_target(velmora_typelibs DEPENDS ${VELMORA_TLB_DIR}/velmora.tlb)

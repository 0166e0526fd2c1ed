# The Windows build (mingw-w64 toolchain files in cmake/): Velmora.dll from
# the plug-in's own sources against the real SDK and system libraries, with
# its resources compiled by windres; the Linux platform layer is not built.
enable_language(RC)

add_library(host INTERFACE)
target_include_directories(host INTERFACE ${PROJECT_SOURCE_DIR})

# Neither the C++ runtime nor the threads library may be a DLL of their own:
# the library and the tools must load on a bare system.
set(VELMORA_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
set(VELMORA_SYSTEM_LIBS ole32 oleaut32 advapi32 uuid)

file(GLOB VELMORA_PLUGIN_SOURCES CONFIGURE_DEPENDS
     module/*.cpp format/*.cpp navigator/*.cpp propstore/*.cpp values/*.cpp storage/*.cpp)
list(REMOVE_ITEM VELMORA_PLUGIN_SOURCES ${PROJECT_SOURCE_DIR}/module/exports.cpp)
add_library(velmora_plugin STATIC ${VELMORA_PLUGIN_SOURCES})
target_include_directories(velmora_plugin PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(velmora_plugin PUBLIC host ${VELMORA_SYSTEM_LIBS})

find_program(VELMORA_WIDL NAMES ${VELMORA_MINGW_TRIPLE}-widl widl REQUIRED)
include(${PROJECT_SOURCE_DIR}/cmake/typelibs.cmake)

# windres finds the scripts and the type library on its include path.
set_source_files_properties(module/velmora.rc PROPERTIES OBJECT_DEPENDS
  "${VELMORA_TLB_DIR}/velmora.tlb;${PROJECT_SOURCE_DIR}/module/comp_doc_formats.rgs;${PROJECT_SOURCE_DIR}/module/comp_doc_file.rgs")
add_library(Velmora SHARED module/exports.cpp module/velmora.rc module/velmora.def)
target_include_directories(Velmora PRIVATE ${PROJECT_SOURCE_DIR} ${VELMORA_TLB_DIR})
target_link_libraries(Velmora PRIVATE velmora_plugin ${VELMORA_SYSTEM_LIBS})
target_link_options(Velmora PRIVATE ${VELMORA_STATIC_RUNTIME})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The 32-bit entry points are __stdcall; the platform looks them up by
  # their plain names.
  target_link_options(Velmora PRIVATE -Wl,--kill-at -Wl,--enable-stdcall-fixup)
endif()
add_dependencies(Velmora velmora_typelibs)
set_target_properties(Velmora PROPERTIES PREFIX "" OUTPUT_NAME Velmora
                                         RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

if(EXISTS ${PROJECT_SOURCE_DIR}/tools/compdoc/windows.cmake)
  include(${PROJECT_SOURCE_DIR}/tools/compdoc/windows.cmake)
endif()

# compdoc.exe for Windows: the plug-in subcommands and the storage viewers,
# hosting Velmora.dll through the real system. Registration is the system's
# own (regsvr32), so the subcommands built on our registry room stay out.
set(compdoc_dir ${PROJECT_SOURCE_DIR}/tools/compdoc)
# The header-only CLI11 and nlohmann-json of the build machine, without the
# rest of its /usr/include.
set(compdoc_headers ${CMAKE_BINARY_DIR}/compdoc-headers)
file(MAKE_DIRECTORY ${compdoc_headers})
foreach(dir CLI nlohmann)
  if(NOT EXISTS ${compdoc_headers}/${dir})
    file(CREATE_LINK /usr/include/${dir} ${compdoc_headers}/${dir} SYMBOLIC)
  endif()
endforeach()
add_executable(compdoc
  ${compdoc_dir}/main.cpp ${compdoc_dir}/hresult_names.cpp ${compdoc_dir}/plugin_host.cpp
  ${compdoc_dir}/cmd_read.cpp ${compdoc_dir}/cmd_write.cpp ${compdoc_dir}/cmd_info.cpp
  ${compdoc_dir}/cmd_ls.cpp ${compdoc_dir}/cmd_cat.cpp ${compdoc_dir}/batch.cpp
  ${compdoc_dir}/cmd_refs.cpp ${compdoc_dir}/relink_plan.cpp)
target_include_directories(compdoc SYSTEM PRIVATE ${compdoc_headers})
target_link_libraries(compdoc PRIVATE host ${VELMORA_SYSTEM_LIBS})
# wmain: the arguments in UTF-16.
target_link_options(compdoc PRIVATE ${VELMORA_STATIC_RUNTIME} -municode)
target_compile_definitions(compdoc PRIVATE VELMORA_VERSION="${PROJECT_VERSION}")
set_target_properties(compdoc PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(compdoc Velmora)

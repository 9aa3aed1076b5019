# Build-time sealing: runs sealpack over a data file while the build runs, again whenever the
# file or sealpack changes, and hands the result to a target.
#
#   sealcore_seal_header(<target> INPUT <file> HEADER <name.h> [KEY <key>])
#     Writes the generated header <name.h> (it defines `model_str` and `key`) into a build
#     directory of its own, puts that directory on <target>'s include path and links <target>
#     to sealcore. Include the header in one source file only: it defines the two strings.
#
#   sealcore_seal_data(<target> INPUT <file> DATA <out>
#                      [KEY <key> KEY_HEADER <name.h> [KEY_NAME <identifier>]])
#     Writes the bare sealed text to <out> (a relative path is taken under the current binary
#     directory) and links <target> to sealcore. With KEY, KEY_HEADER names a generated header
#     that defines `std::string <identifier>` (default `data_key`), the confused key to pass to
#     CreateEncryptor; without KEY the data unseals with an empty key.
#
# Without KEY the data is sealed under the built-in default key. A KEY must be 32 printable
# ASCII characters and cannot hold a semicolon (CMake's list separator).
#
# sealpack is the executable target sealcore::sealpack: an alias of the tool in the project's
# own tree, an imported target where sealcore comes from an installed package.

set(_SEALCORE_SEAL_SCRIPT_DIR ${CMAKE_CURRENT_LIST_DIR})

function(sealcore_seal_header target)
  cmake_parse_arguments(ARG "" "INPUT;HEADER;KEY" "" ${ARGN})
  if(NOT ARG_INPUT OR NOT ARG_HEADER)
    message(FATAL_ERROR "sealcore_seal_header(${target}): INPUT and HEADER are required")
  endif()
  get_filename_component(input ${ARG_INPUT} ABSOLUTE)
  set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/sealcore_seal/${target})
  set(header ${out_dir}/${ARG_HEADER})
  set(key_args)
  if(DEFINED ARG_KEY)
    set(key_args -k ${ARG_KEY})
  endif()
  add_custom_command(
    OUTPUT ${header}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND sealcore::sealpack ${key_args} -i ${input} -o ${header}
    DEPENDS ${input} sealcore::sealpack
    COMMENT "Sealing ${ARG_INPUT} into ${ARG_HEADER}"
    VERBATIM)
  target_sources(${target} PRIVATE ${header})
  target_include_directories(${target} PRIVATE ${out_dir})
  target_link_libraries(${target} PRIVATE sealcore::sealcore)
endfunction()

function(sealcore_seal_data target)
  cmake_parse_arguments(ARG "" "INPUT;DATA;KEY;KEY_HEADER;KEY_NAME" "" ${ARGN})
  if(NOT ARG_INPUT OR NOT ARG_DATA)
    message(FATAL_ERROR "sealcore_seal_data(${target}): INPUT and DATA are required")
  endif()
  if(DEFINED ARG_KEY AND NOT ARG_KEY_HEADER)
    message(FATAL_ERROR "sealcore_seal_data(${target}): KEY needs KEY_HEADER")
  endif()
  get_filename_component(input ${ARG_INPUT} ABSOLUTE)
  get_filename_component(data ${ARG_DATA} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
  get_filename_component(data_dir ${data} DIRECTORY)
  set(outputs ${data})
  set(script_args)
  if(DEFINED ARG_KEY)
    set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/sealcore_seal/${target})
    set(key_header ${out_dir}/${ARG_KEY_HEADER})
    list(APPEND outputs ${key_header})
    if(NOT ARG_KEY_NAME)
      set(ARG_KEY_NAME data_key)
    endif()
    set(script_args -DKEY=${ARG_KEY} -DKEY_HEADER=${key_header} -DKEY_NAME=${ARG_KEY_NAME})
    target_include_directories(${target} PRIVATE ${out_dir})
  endif()
  # A script around sealpack, since the confused key only appears on its standard output. The
  # script runs sealpack itself, so it must also put the emulator of a cross build in front
  # (joined with "|", as a list would split the argument).
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${data_dir}
    COMMAND ${CMAKE_COMMAND} -DSEALPACK=$<TARGET_FILE:sealcore::sealpack>
            "-DEMULATOR=$<JOIN:$<TARGET_PROPERTY:sealcore::sealpack,CROSSCOMPILING_EMULATOR>,|>"
            -DINPUT=${input} -DDATA=${data} ${script_args}
            -P ${_SEALCORE_SEAL_SCRIPT_DIR}/SealcoreSealData.cmake
    DEPENDS ${input} sealcore::sealpack ${_SEALCORE_SEAL_SCRIPT_DIR}/SealcoreSealData.cmake
    COMMENT "Sealing ${ARG_INPUT} into ${ARG_DATA}"
    VERBATIM)
  set_source_files_properties(${data} PROPERTIES HEADER_FILE_ONLY TRUE)
  target_sources(${target} PRIVATE ${outputs})
  target_link_libraries(${target} PRIVATE sealcore::sealcore)
endfunction()

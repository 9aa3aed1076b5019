# Build-time sealing: runs sealpack over a data file while the build runs, again whenever the
# file or sealpack changes, and hands the result to a target.
#
#   sealcore_seal_header(<target> INPUT <file> HEADER <name.h> [KEY <key>])
#     Writes the generated header <name.h> (it defines `model_str` and `key`) into a build
#     directory of its own, puts that directory on <target>'s include path and links <target>
#     to sealcore. Include the header in one source file only: it defines the two strings.
#
#   sealcore_seal_data(<target> INPUT <file> DATA <out> [AUTHENTICATED]
#                      [KEY <key> KEY_HEADER <name.h> [KEY_NAME <identifier>]])
#     Writes the bare sealed text to <out> (a relative path is taken under the current binary
#     directory) and links <target> to sealcore. With KEY, KEY_HEADER names a generated header
#     that defines `std::string <identifier>` (default `data_key`), the confused key to pass to
#     CreateEncryptor; without KEY the data unseals with an empty key.
#
#   sealcore_seal_embed(<target> INPUT <file> NAME <identifier> [AUTHENTICATED] [KEY <key>])
#     Links into <target> an object that holds the bare sealed text as read-only data of the
#     program, made by the assembler (.incbin) from a data file in the build tree: nothing copies
#     it at start, and the compiler never sees it, whatever its size. The generated header
#     <NAME>.h, on <target>'s include path, declares `const char NAME[]` (the sealed text, no
#     NUL), `const std::size_t NAME_size` and `const char NAME_key[]` (the confused key, or ""),
#     for util_ko::UnsealMemory. Links <target> to sealcore.
#
# AUTHENTICATED seals in the authenticated format (sealpack -a --deterministic): the data at its
# own size, every byte checked as it is unsealed, and the same bytes from every rebuild of the
# same input under the same key (the key literal still differs from run to run, as the
# confusion draws its bits from the clock). The unsealing calls tell the formats apart by
# themselves.
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
  cmake_parse_arguments(ARG "AUTHENTICATED" "INPUT;DATA;KEY;KEY_HEADER;KEY_NAME" "" ${ARGN})
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
  if(ARG_AUTHENTICATED)
    list(APPEND script_args -DAUTHENTICATED=ON)
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

function(sealcore_seal_embed target)
  cmake_parse_arguments(ARG "AUTHENTICATED" "INPUT;NAME;KEY" "" ${ARGN})
  if(NOT ARG_INPUT OR NOT ARG_NAME)
    message(FATAL_ERROR "sealcore_seal_embed(${target}): INPUT and NAME are required")
  endif()
  if(NOT ARG_NAME MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    message(FATAL_ERROR "sealcore_seal_embed(${target}): NAME must be a C++ identifier")
  endif()
  # The object is assembled by the compiler's driver: the project need not enable ASM.
  if(CMAKE_CXX_COMPILER)
    set(assembler ${CMAKE_CXX_COMPILER})
  elseif(CMAKE_C_COMPILER)
    set(assembler ${CMAKE_C_COMPILER})
  else()
    message(FATAL_ERROR "sealcore_seal_embed(${target}): needs the C or C++ language")
  endif()
  get_filename_component(input ${ARG_INPUT} ABSOLUTE)
  set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/sealcore_seal/${target})
  set(data ${out_dir}/${ARG_NAME}.sealed)
  set(asm ${out_dir}/${ARG_NAME}.s)
  set(object ${out_dir}/${ARG_NAME}.o)
  set(script_args -DASM=${asm} -DNAME=${ARG_NAME})
  if(DEFINED ARG_KEY)
    list(APPEND script_args -DKEY=${ARG_KEY})
  endif()
  if(ARG_AUTHENTICATED)
    list(APPEND script_args -DAUTHENTICATED=ON)
  endif()
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    list(APPEND script_args -DLARGE_DATA=ON)
  endif()
  file(CONFIGURE OUTPUT ${out_dir}/${ARG_NAME}.h CONTENT "\
// Generated by sealcore_seal_embed from ${ARG_INPUT}. Unseal with
// util_ko::UnsealMemory(${ARG_NAME}, ${ARG_NAME}_size, ${ARG_NAME}_key).
#pragma once
#include <cstddef>
extern const char ${ARG_NAME}[];           // the sealed text, ${ARG_NAME}_size characters, no NUL
extern const std::size_t ${ARG_NAME}_size;
extern const char ${ARG_NAME}_key[];       // the confused key, or \"\" for the built-in default key
" @ONLY)
  add_custom_command(
    OUTPUT ${data} ${asm}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND ${CMAKE_COMMAND} -DSEALPACK=$<TARGET_FILE:sealcore::sealpack>
            "-DEMULATOR=$<JOIN:$<TARGET_PROPERTY:sealcore::sealpack,CROSSCOMPILING_EMULATOR>,|>"
            -DINPUT=${input} -DDATA=${data} ${script_args}
            -P ${_SEALCORE_SEAL_SCRIPT_DIR}/SealcoreSealData.cmake
    DEPENDS ${input} sealcore::sealpack ${_SEALCORE_SEAL_SCRIPT_DIR}/SealcoreSealData.cmake
    COMMENT "Sealing ${ARG_INPUT} into ${ARG_NAME}.sealed"
    VERBATIM)
  # .incbin is invisible to dependency scanning, so the data file is named here.
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${assembler} -c ${asm} -o ${object}
    DEPENDS ${asm} ${data}
    COMMENT "Assembling ${ARG_NAME}.o"
    VERBATIM)
  set_source_files_properties(${object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${target} PRIVATE ${object})
  target_include_directories(${target} PRIVATE ${out_dir})
  target_link_libraries(${target} PRIVATE sealcore::sealcore)
endfunction()

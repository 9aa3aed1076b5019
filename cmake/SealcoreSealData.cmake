# Runs sealpack for sealcore_seal_data: seals INPUT into the data file DATA and, when KEY is
# set, writes KEY_HEADER, defining the string KEY_NAME, from the key literal that sealpack prints.
# Usage: cmake -DSEALPACK=<exe> [-DEMULATOR=<program>|<argument>...] -DINPUT=<file> -DDATA=<file>
#        [-DKEY=<key> -DKEY_HEADER=<file> -DKEY_NAME=<identifier>] -P SealcoreSealData.cmake
# EMULATOR runs a cross-built sealpack on the build machine.

string(REPLACE "|" ";" emulator "${EMULATOR}")
set(key_args)
if(DEFINED KEY)
  set(key_args -k ${KEY})
endif()
execute_process(
  COMMAND ${emulator} ${SEALPACK} ${key_args} -i ${INPUT} -f ${DATA}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "sealpack failed (${result}) on ${INPUT}:\n${output}${errors}")
endif()
if(DEFINED KEY)
  set(prefix "copy this key to decrypt module: ")
  string(FIND "${output}" "${prefix}" at REVERSE)
  if(at EQUAL -1)
    message(FATAL_ERROR "sealpack printed no key literal for ${INPUT}:\n${output}")
  endif()
  string(LENGTH "${prefix}" prefix_length)
  math(EXPR at "${at} + ${prefix_length}")
  string(SUBSTRING "${output}" ${at} -1 literal)
  string(REGEX REPLACE "\n$" "" literal "${literal}")
  file(WRITE ${KEY_HEADER}
    "// THIS IS AUTO GENERATE CODE, PLEASE DO NOT MODIFY!\n#include<string>\nstd::string ${KEY_NAME} = \"${literal}\";\n")
endif()

# Veils the sample text with textveil and restores it. textveil does not encode trailing line
# ends, so the restored text must equal the original without them.
# Arguments: TEXTVEIL (the tool), SAMPLE (the text), WORK_DIR (where the results go).

file(MAKE_DIRECTORY "${WORK_DIR}")
set(veiled "${WORK_DIR}/sample.veiled")
set(code "${WORK_DIR}/sample_key.inc")
set(restored "${WORK_DIR}/sample.restored")

message("textveil -e ${SAMPLE} ${veiled} ${code}")
execute_process(COMMAND "${TEXTVEIL}" -e "${SAMPLE}" "${veiled}" "${code}"
                COMMAND_ERROR_IS_FATAL ANY)
file(READ "${veiled}" veiled_text)
string(LENGTH "${veiled_text}" veiled_length)
string(SUBSTRING "${veiled_text}" 0 48 veiled_start)
message("veiled text (${veiled_length} characters) starts with: ${veiled_start}")
file(STRINGS "${code}" code_lines LIMIT_COUNT 3)
list(JOIN code_lines "\n" code_start)
message("array text to paste into a program starts with:\n${code_start}")

message("textveil -d ${veiled} ${restored}")
execute_process(COMMAND "${TEXTVEIL}" -d "${veiled}" "${restored}" COMMAND_ERROR_IS_FATAL ANY)

file(READ "${SAMPLE}" original)
string(REGEX REPLACE "[\r\n]+$" "" original "${original}")
file(READ "${restored}" restored_text)
string(LENGTH "${original}" original_length)
if(NOT restored_text STREQUAL original)
  message(FATAL_ERROR "the restored text differs from the original: compare ${SAMPLE} and ${restored}")
endif()
message("the restored text equals the original (${original_length} bytes)")

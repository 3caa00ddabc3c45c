# Fails when a freshly assembled hex file differs from the committed one.
# Line ends are not compared, so a checkout with CR LF still matches. The files
# are compared as text: without NO_HEX_CONVERSION CMake decodes Intel-hex files
# while reading them, and that decoding now and then gave a wrong result in
# parallel builds and failed a build whose files were identical.
file(STRINGS "${ASSEMBLED}" assembled_lines NO_HEX_CONVERSION)
file(STRINGS "${COMMITTED}" committed_lines NO_HEX_CONVERSION)
if(NOT assembled_lines STREQUAL committed_lines)
  get_filename_component(committed_name "${COMMITTED}" NAME)
  get_filename_component(source_name "${SOURCE}" NAME)
  message(FATAL_ERROR "${committed_name} does not match ${source_name}: reassemble it with "
                      "\"pasmo --hex ${source_name} ${committed_name}\" in bios/ and commit both.")
endif()

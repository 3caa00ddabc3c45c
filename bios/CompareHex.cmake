# Fails when a freshly assembled hex file differs from the committed one.
# Line ends are not compared, so a checkout with CR LF still matches.
file(STRINGS "${ASSEMBLED}" assembled_lines)
file(STRINGS "${COMMITTED}" committed_lines)
if(NOT assembled_lines STREQUAL committed_lines)
  get_filename_component(committed_name "${COMMITTED}" NAME)
  get_filename_component(source_name "${SOURCE}" NAME)
  message(FATAL_ERROR "${committed_name} does not match ${source_name}: reassemble it with "
                      "\"pasmo --hex ${source_name} ${committed_name}\" in bios/ and commit both.")
endif()

# CP/M 2.2 booted end to end with the project's BIOS (bios/). Included from
# CMakeLists.txt of this folder. The tests need the shared CP/M image and
# programs (they skip without them) and the committed BIOS and SYS images of
# korvel_bios.
if(TARGET korvel_bios)
  korvel_add_test(machine_boot_tests
    SOURCES
      CpmBootRig.h
      CpmBootTest.cpp
      CpmComOutputTest.cpp
    LIBRARIES korvel_machine korvel_bios
    TIMEOUT 600)

  # ZEXDOC under CP/M: billions of instructions, labelled long.
  korvel_add_test(machine_zexdoc_tests
    SOURCES
      CpmBootRig.h
      CpmZexdocTest.cpp
    LIBRARIES korvel_machine korvel_bios
    LONG TIMEOUT 3600)
endif()

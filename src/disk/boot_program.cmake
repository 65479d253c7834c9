# The boot program: 16-bit x86 code assembled from boot_program16.s with the
# toolchain's own assembler and linker, turned into a flat binary and then
# into a C++ byte array (boot_program[184]) that goes into brindlex_core.
#
# This file has two roles. Included from src/CMakeLists.txt it sets up the
# build steps; run with "cmake -P" (BIN and OUT defined) it writes the .cc
# file from the binary and fails when the code does not fit.

set(BRINDLEX_BOOT_PROGRAM_SIZE 184)

if(CMAKE_SCRIPT_MODE_FILE)
  file(SIZE "${BIN}" size)
  if(size GREATER 184)
    message(FATAL_ERROR "boot program is ${size} bytes, more than the 184 bytes "
                        "before the partition table")
  endif()
  if(size EQUAL 0)
    message(FATAL_ERROR "boot program ${BIN} is empty")
  endif()
  file(READ "${BIN}" hex HEX)
  math(EXPR pad "184 - ${size}")
  string(REPEAT "00" ${pad} zeros)
  string(APPEND hex "${zeros}")
  set(bytes "")
  foreach(i RANGE 0 183)
    math(EXPR at "${i} * 2")
    string(SUBSTRING "${hex}" ${at} 2 byte)
    math(EXPR column "${i} % 12")
    if(i GREATER 0 AND column EQUAL 0)
      string(APPEND bytes "\n   ")
    endif()
    string(APPEND bytes " 0x${byte},")
  endforeach()
  file(WRITE "${OUT}.tmp"
       "// Generated from disk/boot_program16.s when the installer is built.\n"
       "// ${size} bytes of code, the rest zero.\n"
       "#include \"disk/boot_program.h\"\n\n"
       "const unsigned char boot_program[184] = {\n   ${bytes}\n};\n")
  file(RENAME "${OUT}.tmp" "${OUT}")
  return()
endif()

find_program(BRINDLEX_AS as REQUIRED)
find_program(BRINDLEX_LD ld REQUIRED)
find_program(BRINDLEX_OBJCOPY objcopy REQUIRED)

set(boot_src ${CMAKE_CURRENT_SOURCE_DIR}/disk/boot_program16.s)
set(boot_dir ${CMAKE_BINARY_DIR}/boot_program)
set(boot_obj ${boot_dir}/boot_program.o)
set(boot_elf ${boot_dir}/boot_program.elf)
set(boot_bin ${boot_dir}/boot_program.bin)
set(boot_cc ${boot_dir}/boot_program.cc)

# The program runs from 0000:0600 after it has moved itself there.
add_custom_command(
  OUTPUT ${boot_bin}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${boot_dir}
  COMMAND ${BRINDLEX_AS} --32 -o ${boot_obj} ${boot_src}
  COMMAND ${BRINDLEX_LD} -m elf_i386 -Ttext 0x600 -e _start -o ${boot_elf} ${boot_obj}
  COMMAND ${BRINDLEX_OBJCOPY} -O binary -j .text ${boot_elf} ${boot_bin}
  DEPENDS ${boot_src}
  COMMENT "Assembling the boot program"
  VERBATIM)

add_custom_command(
  OUTPUT ${boot_cc}
  COMMAND ${CMAKE_COMMAND} -DBIN=${boot_bin} -DOUT=${boot_cc}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/disk/boot_program.cmake
  DEPENDS ${boot_bin} ${CMAKE_CURRENT_SOURCE_DIR}/disk/boot_program.cmake
  COMMENT "Embedding the boot program (at most 184 bytes)"
  VERBATIM)

list(APPEND BRINDLEX_GENERATED_SOURCES ${boot_cc})

# The flat binary, for tests that build boot images.
set_property(GLOBAL PROPERTY BRINDLEX_BOOT_PROGRAM_BIN ${boot_bin})

# The tools' package and `make install`: where things go, and
# The title above every page.
set(BRINDLEX_MANUAL "Brindlex Router Software")

# brindlex_packaged_tool(TARGET SECTION) for each tool in them.
include(GNUInstallDirs)

# Where the installed tools find what comes with them. The builders' default
# boot system is compiled in, so the prefix is chosen when the build is
# configured (`make install PREFIX=...`, `make deb` for /usr).
set(BRINDLEX_INSTALLED_BOOTSYS_DIR "lib/brindlex")
set(BRINDLEX_INSTALLED_SAMPLES_DIR "${CMAKE_INSTALL_DATADIR}/brindlex/samples")
set(BRINDLEX_INSTALLED_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/brindlex-tools")
set(BRINDLEX_INSTALLED_LUA_PLUGIN_DIR "${CMAKE_INSTALL_LIBDIR}/wireshark/plugins")
# The same places as absolute paths, as the manual pages name them.
foreach(place BOOTSYS SAMPLES DOC LUA_PLUGIN)
  set(BRINDLEX_FULL_${place}_DIR "${CMAKE_INSTALL_PREFIX}/${BRINDLEX_INSTALLED_${place}_DIR}")
endforeach()

# The title above every page.
set(BRINDLEX_MANUAL "Brindlex Router Software")

# brindlex_packaged_tool(TARGET SECTION): TARGET is installed into bin/
# (section 1) or sbin/ (section 8: it needs root), with its manual page.
# help2man makes the page from `TARGET --help` and `TARGET --version`, and
# adds the sections of TARGET.h2m beside the calling CMakeLists.txt (NAME,
# FILES, EXAMPLES, SEE ALSO), in which @BRINDLEX_FULL_..._DIR@ stand for
# the installed places. The help text's "Exit status:" block becomes the
# page's EXIT STATUS section. Pages are made in the plain host build only.
function(brindlex_packaged_tool target section)
  if(BRINDLEX_TARGET OR BRINDLEX_FUZZ)
    return()
  endif()
  if(section STREQUAL "8")
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  else()
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  if(BRINDLEX_SANITIZE)
    return()
  endif()
  set(include ${CMAKE_CURRENT_SOURCE_DIR}/${target}.h2m)
  set(configured ${CMAKE_BINARY_DIR}/man/${target}.h2m)
  set(page ${CMAKE_BINARY_DIR}/man/${target}.${section})
  configure_file(${include} ${configured} @ONLY)
  add_custom_command(
    OUTPUT ${page} ${page}.gz
    COMMAND help2man --no-info --section=${section} --manual=${BRINDLEX_MANUAL}
            --include=${configured}
            --output=${page} $<TARGET_FILE:${target}>
    COMMAND sed -i -e "s/^\\.SS \"Exit status:\"$/.SH \"EXIT STATUS\"/" ${page}
    COMMAND gzip -9nkf ${page}
    DEPENDS ${target} ${configured}
    COMMENT "Manual page ${target}(${section})"
    VERBATIM)
  add_custom_target(${target}-manual-page ALL DEPENDS ${page} ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  # For the test that the pages and the help texts agree: where each comes from.
  get_target_property(sources ${target} SOURCES)
  list(GET sources 0 main_source)
  set_property(GLOBAL APPEND PROPERTY BRINDLEX_MANUAL_PAGES
    "${target} ${section} ${page} ${include} ${CMAKE_CURRENT_SOURCE_DIR}/${main_source}")
endfunction()

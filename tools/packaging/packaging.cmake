# What `make install` and the Debian package brindlex-tools hold besides the
# tools and their manual pages (see brindlex_packaged_tool): the boot system,
# the sample packages, the documents, the copyright and changelog, and the
# package's own description. CPack's DEB generator makes the package from
# these same install rules. Included at the end of the host build, when
# every tool has registered its page.

# The boot system the builders take by default (made by `make bootsys`).
install(FILES ${BRINDLEX_BOOTSYS_DIR}/vmlinuz ${BRINDLEX_BOOTSYS_DIR}/initrd.gz
        DESTINATION ${BRINDLEX_INSTALLED_BOOTSYS_DIR})

# The documents, and what Debian wants beside them: the copyright and a
# changelog, compressed with no time stamp.
install(FILES ${CMAKE_SOURCE_DIR}/docs/package-format.md ${CMAKE_SOURCE_DIR}/docs/install-protocol.md
              ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${BRINDLEX_INSTALLED_DOC_DIR})
string(TIMESTAMP BRINDLEX_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${BRINDLEX_INSTALLED_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brindlex-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Brindlex")
set(CPACK_PACKAGE_CONTACT "Brindlex installer team <installer@brindlex.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/deb)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The C and C++ libraries the tools link with, found by dpkg-shlibdeps, and
# the programs the builders run, in the versions of Debian 12.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "xorriso (>= 1.5.4), isolinux (>= 3:6.04~git20190206), syslinux (>= 3:6.04~git20190206), syslinux-common (>= 3:6.04~git20190206), mtools (>= 4.0.32), dosfstools (>= 4.2), pxelinux (>= 3:6.04~git20190206), dnsmasq-base (>= 2.89), iproute2")
# tshark or Wireshark read the dissector; the test PC's emulator boots media.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark, qemu-system-x86")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "installation media builders of the Brindlex Router Software")
# The extended description below the summary line (CPack indents it).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The tools that make the packages and the installation media of the
Brindlex Router Software for i386 routers: brindlex-pkg makes and checks
packages, brindlex-floppyset cuts them into a floppy set,
brindlex-make-cd makes the bootable installation CD and
brindlex-make-disk-image the self-installing disk image,
brindlex-make-netboot the network boot image (a TFTP tree);
brindlex-unpack installs packages below a folder, and
brindlex-install-server installs a router over the local network and
serves the network boot image to routers that boot from it.

The package also holds the boot system that the media carry (the builders
take it by default), a set of sample packages to try the builders with,
the dissector of the installation protocol for Wireshark, and the
descriptions of the package format and the protocol.")
include(CPack)

# The manual pages agree with the tools' help texts and render cleanly.
get_property(manual_pages GLOBAL PROPERTY BRINDLEX_MANUAL_PAGES)
if(manual_pages)
  list(JOIN manual_pages "\n" manual_page_lines)
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/manual-pages.txt "${manual_page_lines}\n")
  add_test(NAME manual_pages
           COMMAND ${BRINDLEX_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/manual_pages_test.py
                   ${CMAKE_BINARY_DIR}/packaging/manual-pages.txt ${CMAKE_BINARY_DIR}/bin
                   ${PROJECT_VERSION})
  set_tests_properties(manual_pages PROPERTIES LABELS manual ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endif()

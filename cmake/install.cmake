# Install rules (the program and its manual page) and the Debian package
# that CPack builds from the same rules.
include(GNUInstallDirs)

install(TARGETS quorvin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/quorvin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvin)
set(CPACK_PACKAGE_VENDOR "Quorvin maintainers")
set(CPACK_PACKAGE_CONTACT "Quorvin maintainers <maintainers@quorvin.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "association networks from rank and partial correlations")
set(CPACK_PACKAGE_DESCRIPTION
    "Quorvin reads a table of measurements (one variable per row), computes the
Spearman rank correlation of every pair of variables and its first- and
second-order partial correlations, keeps for each pair the coefficient of
smallest magnitude, and writes the combined matrix, interaction lists (SIF)
and Pajek networks at the significance levels 0.01, 0.001 and 0.0001.")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# dpkg-shlibdeps derives the dependencies, with versions, from the binary;
# without it, name the libraries that the program links (OpenMP's included).
find_program(QUORVIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUORVIN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgomp1")
endif()

include(CPack)

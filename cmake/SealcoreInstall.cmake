# Install rules, the CMake package, pkg-config metadata, manual pages and the Debian package.
#
# Installed tree (relative to the prefix; lib stands for CMAKE_INSTALL_LIBDIR):
#   bin/sealpack, bin/textveil
#   lib/libsealcore.so -> libsealcore.so.<major> -> libsealcore.so.<version>
#   lib/veilcodec.o                      an architecture-dependent linkable, so it sits in libdir
#   include/sealcore/*.h, include/textveil/vk_codec.h, include/textveil/veil.h
#   include/textveil/internal/pair_group.h   the group rules that veil.h encodes with
#   lib/cmake/sealcore/                  find_package(sealcore CONFIG) and the sealing functions
#   lib/pkgconfig/sealcore.pc
#   share/man/man1/sealpack.1, share/man/man1/textveil.1
#
# Every installed path is relative to the prefix, so the tree can be moved as a whole: the tools
# find the library through $ORIGIN, the package files and sealcore.pc locate the prefix from
# their own place.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SEALCORE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/sealcore)

# The tools run from bin/ against the library in libdir without LD_LIBRARY_PATH. textveil needs
# only libc and gets no search path.
file(RELATIVE_PATH _sealcore_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(sealpack PROPERTIES INSTALL_RPATH "$ORIGIN/${_sealcore_bin_to_lib}")

install(TARGETS sealcore sealpack textveil
  EXPORT sealcore-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# veilcodec.o is produced by a custom command, so no target can be exported for it; the package
# configuration file declares it as an imported object library instead.
install(FILES ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/veilcodec.o DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Headers keep the project's include form, "sealcore/encrypt_wrapper.h".
set(_sealcore_public_units
  aes256_base s_box aes256 aes256_prng aes256_gcm sha256 base64 str_confuse encrypt_api encrypt_wrapper file_helper
  unseal seal sealed_reader sealcore_c)
list(TRANSFORM _sealcore_public_units REPLACE "(.+)" "${PROJECT_SOURCE_DIR}/sealcore/\\1.h")
install(FILES ${_sealcore_public_units} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sealcore)
install(FILES ${PROJECT_SOURCE_DIR}/textveil/vk_codec.h ${PROJECT_SOURCE_DIR}/textveil/veil.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/textveil)
install(FILES ${PROJECT_SOURCE_DIR}/textveil/internal/pair_group.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/textveil/internal)

install(EXPORT sealcore-targets
  NAMESPACE sealcore::
  FILE sealcore-targets.cmake
  DESTINATION ${SEALCORE_CMAKE_DIR})

set(SEALCORE_VEILCODEC_OBJECT ${CMAKE_INSTALL_LIBDIR}/veilcodec.o)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/sealcore-config.cmake.in
  ${PROJECT_BINARY_DIR}/sealcore-config.cmake
  INSTALL_DESTINATION ${SEALCORE_CMAKE_DIR}
  PATH_VARS SEALCORE_VEILCODEC_OBJECT CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/sealcore-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/sealcore-config.cmake
  ${PROJECT_BINARY_DIR}/sealcore-config-version.cmake
  ${PROJECT_SOURCE_DIR}/cmake/SealcoreSeal.cmake
  ${PROJECT_SOURCE_DIR}/cmake/SealcoreSealData.cmake
  DESTINATION ${SEALCORE_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own directory, and the link line carries
# a run path so that a program built with it starts without LD_LIBRARY_PATH.
set(_sealcore_pc_dir ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH SEALCORE_PC_PREFIX_FROM_PCFILEDIR ${_sealcore_pc_dir} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" SEALCORE_PC_PREFIX_FROM_PCFILEDIR
       "${SEALCORE_PC_PREFIX_FROM_PCFILEDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/sealcore.pc.in ${PROJECT_BINARY_DIR}/sealcore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sealcore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/man/sealpack.1 ${PROJECT_SOURCE_DIR}/man/textveil.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian package: `cpack -G DEB` in the build directory gives sealcore_<version>_<arch>.deb,
# installed under /usr. Its run-time dependencies (libc6, libstdc++6, libgcc-s1) are read from
# the binaries by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME sealcore)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Seal data files into C++ applications and veil short texts in source code")
set(CPACK_PACKAGE_CONTACT "sealcore maintainers <maintainers@sealcore.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# cpack asks the host's dpkg for the architecture, which a cross build must not take.
if(CMAKE_CROSSCOMPILING AND NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  else()
    message(WARNING "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}: "
                    "set CPACK_DEBIAN_PACKAGE_ARCHITECTURE for the package")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "sealpack seals a data file at build time (AES-256-CBC, Base64, string confusion) into a
generated C++ header or a data file; the shared library sealcore unseals it at run time.
textveil and the linkable object veilcodec turn short texts into printable character
groups for embedding in source code. Includes the headers, a CMake package with build-time
sealing functions and pkg-config metadata.")
include(CPack)

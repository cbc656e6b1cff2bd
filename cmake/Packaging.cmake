# Install layout and the packages.
#
#   cmake --install <build> --prefix P
#       P/bin/tovrel, P/bin/marbek, P/bin/quillet (card_program() in Programs.cmake)
#       P/share/man/man1/tovrel.1.gz, marbek.1.gz, quillet.1.gz (from man/)
#       P/share/doc/card-helpers/README.md, LICENSE, copyright (machine-readable)
#         and changelog.gz (from packaging/)
#   cpack -B <folder>              (in the build tree; or: cmake --build <build> --target package)
#       <folder>/card-helpers_<version>_<deb arch>.deb          installing under /usr
#       <folder>/card-helpers-<version>-1.<rpm arch>.rpm        installing under /usr
#       <folder>/card-helpers-<version>-linux-<rpm arch>.tar.gz bin/ and share/ in one folder
#
# The architecture follows the tree: amd64 / x86_64 for the native x86_64
# tree, i386 / i686 for the 32-bit one. The programs link the C++ runtime
# statically, so the packages depend on the C library alone: the .deb on libc6
# from the newest glibc symbol version the programs need (read from the built
# programs when the package is made, see below), the .rpm on the libc.so.6
# symbol versions that rpmbuild reads off the programs.
#
# Reproducible: with SOURCE_DATE_EPOCH set (scripts/release.sh takes it from
# the last commit), two builds of one commit give the same bytes. The compressed
# documents carry no name or time (gzip -n), directories and files get fixed
# modes whatever the umask, CPack's .deb and .tar.gz take their times from
# SOURCE_DATE_EPOCH, and rpmbuild is told to do the same below.
find_program(CARD_GZIP gzip REQUIRED)
set(card_doc_dir share/doc/${CARD_PACKAGE_NAME})
set(card_compressed)
# compress_document(SOURCE NAME): NAME.gz in the build tree, made as Debian wants it.
function(compress_document source name)
  set(out ${CMAKE_BINARY_DIR}/compressed/${name})
  add_custom_command(OUTPUT ${out}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${source} ${out}
                     COMMAND ${CARD_GZIP} -9nf ${out}
                     DEPENDS ${source} VERBATIM)
  set(card_compressed ${card_compressed} ${out}.gz PARENT_SCOPE)
endfunction()
foreach(page tovrel marbek quillet)
  compress_document(${PROJECT_SOURCE_DIR}/man/${page}.1 ${page}.1)
  install(FILES ${CMAKE_BINARY_DIR}/compressed/${page}.1.gz DESTINATION share/man/man1)
endforeach()
compress_document(${PROJECT_SOURCE_DIR}/packaging/changelog changelog)
add_custom_target(compressed_documents ALL DEPENDS ${card_compressed})
# Everything the packages hold that is built, without the tests: what a build
# needs before cpack (scripts/reproducible.sh builds this alone).
add_custom_target(packaged)
add_dependencies(packaged tovrel marbek quillet compressed_documents)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/compressed/changelog.gz
        DESTINATION ${card_doc_dir})

if(CARD_ABI STREQUAL "i386")
  set(card_deb_architecture i386)
  set(card_rpm_architecture i686)
elseif(CARD_ABI STREQUAL "x86_64")
  set(card_deb_architecture amd64)
  set(card_rpm_architecture x86_64)
else()
  message(FATAL_ERROR "no Debian architecture for the ABI '${CARD_ABI}'")
endif()

set(CPACK_GENERATOR DEB RPM TGZ)
set(CPACK_PACKAGE_NAME ${CARD_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The card-access helpers authors")
set(CPACK_PACKAGE_CONTACT "Card helpers team <team@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Helpers through which a host application reaches smart-card tokens")
# The body of the description: lines of at most 72 characters, an empty line
# between paragraphs (CPack turns it into " ." in the .deb).
string(CONCAT card_description
  "Three small programs that a host application starts in a working folder\n"
  "to reach cryptographic smart-card tokens without linking a token\n"
  "library itself: the host writes a request file, starts one program with\n"
  "no arguments, waits for it to exit and reads the result file.\n"
  "\n"
  "tovrel and marbek are token bridges, for JaCarta tokens and for the LISSI\n"
  "software token. Through the token's PKCS#11 module they list its\n"
  "certificates, return the first one, or sign a digest with GOST R 34.10.\n"
  "quillet lists the card readers that OpenSC sees, whether each holds a\n"
  "card, and the card's ATR.")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${card_description}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${CARD_PACKAGE_NAME})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build tree; the package carries stripped programs.
set(CPACK_STRIP_FILES ON)

set(CPACK_PACKAGE_FILE_NAME ${CARD_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${card_rpm_architecture})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME ${CARD_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${card_deb_architecture})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Card helpers team <team@example.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps is not used: in the 32-bit tree it would name the multilib
# package libc6-i386 (where this host keeps its 32-bit libc) instead of libc6.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_NAME ${CARD_PACKAGE_NAME})
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_ARCHITECTURE ${card_rpm_architecture})
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_URL "https://example.invalid/card-helpers")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${card_description}")
# rpmbuild reads the requirements off the programs (libc.so.6(GLIBC_2.x) and
# the like); the programs provide no library.
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
set(CPACK_RPM_PACKAGE_AUTOPROV OFF)
set(CPACK_RPM_PACKAGE_VENDOR "${CPACK_PACKAGE_VENDOR}")
# Our own .rpm build template: CPack's without empty install scriptlets.
set(CPACK_RPM_USER_BINARY_SPECFILE ${PROJECT_SOURCE_DIR}/packaging/card-helpers-rpm.in)
# The manual's folders belong to the system, not to this package.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1)
# No /usr/lib/.build-id links: the package holds the three programs and their
# documents only. The build host's name and the build time are not recorded;
# with SOURCE_DATE_EPOCH set, it is the build time and the newest file time.
string(CONCAT CPACK_RPM_SPEC_MORE_DEFINE
  "%define _build_id_links none\n"
  "%define packager ${CPACK_PACKAGE_CONTACT}\n"
  "%define _buildhost reproducible\n"
  "%define use_source_date_epoch_as_buildtime 1\n"
  "%define clamp_mtime_to_source_date_epoch 1")

# Fixed modes in every package, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# cpack reads this file when it makes the package, after the build: it raises
# the dependency to "libc6 (>= V)", V the newest GLIBC_ symbol version that a
# shipped program needs.
set(card_packaged_programs "$<TARGET_FILE:tovrel>;$<TARGET_FILE:marbek>")
if(TARGET quillet)
  string(APPEND card_packaged_programs ";$<TARGET_FILE:quillet>")
endif()
set(CARD_PACKAGE_OPTIONS ${CMAKE_BINARY_DIR}/CardPackageOptions.cmake)
string(CONCAT card_package_options [[
# Generated by cmake/Packaging.cmake; read by cpack.
set(card_readelf "]] "${CMAKE_READELF}" [[")
set(card_programs "]] "${card_packaged_programs}" [[")
# The archive unpacks into one folder holding bin/ and share/.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
endif()
if(CPACK_GENERATOR STREQUAL "DEB" AND card_readelf)
  set(card_glibc "")
  foreach(card_program IN LISTS card_programs)
    execute_process(COMMAND "${card_readelf}" -W -V "${card_program}"
                    OUTPUT_VARIABLE card_versions RESULT_VARIABLE card_result ERROR_QUIET)
    if(NOT card_result EQUAL 0)
      message(FATAL_ERROR "cannot read the symbol versions of ${card_program}")
    endif()
    string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)*" card_names "${card_versions}")
    foreach(card_name IN LISTS card_names)
      string(SUBSTRING "${card_name}" 6 -1 card_version)
      if(card_version VERSION_GREATER card_glibc)
        set(card_glibc "${card_version}")
      endif()
    endforeach()
  endforeach()
  if(card_glibc)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${card_glibc})")
  endif()
endif()
]])
file(GENERATE OUTPUT ${CARD_PACKAGE_OPTIONS} CONTENT "${card_package_options}")
set(CPACK_PROJECT_CONFIG_FILE ${CARD_PACKAGE_OPTIONS})

include(CPack)

# What `cmake --install` and the Debian package (`cpack -G DEB`, packaging/build-deb.sh) put on
# a machine: the bundle under /opt/velk-compressor, the command velk-compressor on PATH, the
# systemd user unit and the package's documents. Paths other than the bundle's follow
# CMAKE_INSTALL_PREFIX, which the package sets to /usr.

set(VELK_INSTALL_BUNDLE_PARENT "/opt/velk-compressor" CACHE PATH
    "Folder the installed VelkCompressor.app goes into")
set(VELK_INSTALL_BUNDLE "${VELK_INSTALL_BUNDLE_PARENT}/VelkCompressor.app")
set(VELK_PACKAGE_MAINTAINER "Velk <support@velk.app>" CACHE STRING
    "Maintainer field of the Debian package: Name <address>")
set(VELK_PACKAGING_DIR "${CMAKE_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${VELK_PACKAGING_DIR}")

# Debian's own cwebp, webpmux and pngquant are left out of the installed bundle: the package
# recommends them instead, so they keep receiving the distribution's fixes, and the tool lookup
# finds them in /usr/bin. The tools Debian lacks (MozJPEG's cjpeg, oxipng) stay in the bundle.
install(DIRECTORY "${VELK_BUNDLE_DIR}" DESTINATION "${VELK_INSTALL_BUNDLE_PARENT}"
    USE_SOURCE_PERMISSIONS
    PATTERN "Resources/bin/cwebp" EXCLUDE
    PATTERN "Resources/bin/webpmux" EXCLUDE
    PATTERN "Resources/bin/pngquant" EXCLUDE)
# install(DIRECTORY) never strips; `--strip` (and CPack with CPACK_STRIP_FILES) should still
# reach the programs inside the bundle.
set(velk_strip_code [[
    if(CMAKE_INSTALL_DO_STRIP)
        file(GLOB_RECURSE velk_installed LIST_DIRECTORIES false
            "$ENV{DESTDIR}@VELK_INSTALL_BUNDLE@/*")
        foreach(file IN LISTS velk_installed)
            file(READ "${file}" magic LIMIT 4 HEX)
            if(magic STREQUAL "7f454c46" AND NOT IS_SYMLINK "${file}")
                execute_process(COMMAND "@CMAKE_STRIP@" --strip-unneeded "${file}"
                    COMMAND_ERROR_IS_FATAL ANY)
            endif()
        endforeach()
    endif()
]])
string(CONFIGURE "${velk_strip_code}" velk_strip_code @ONLY)
install(CODE "${velk_strip_code}")

# The program finds its bundle through /proc/self/exe, which resolves this link.
file(CREATE_LINK "${VELK_INSTALL_BUNDLE}/Contents/MacOS/${VELK_BUNDLE_EXECUTABLE}"
    "${VELK_PACKAGING_DIR}/velk-compressor" SYMBOLIC)
install(FILES "${VELK_PACKAGING_DIR}/velk-compressor" DESTINATION bin)

# The unit in the source tree is for a user's own build; the installed one runs the command
# installed beside it, under whatever prefix the install uses (/usr in the package).
file(READ "${PROJECT_SOURCE_DIR}/packaging/velk-compressor.service" velk_unit)
string(REGEX REPLACE "^(#[^\n]*\n)+" "" velk_unit "${velk_unit}")
string(REGEX REPLACE "\nExecStart=[^ \n]*" "\nExecStart=VELK_INSTALL_BINDIR/velk-compressor"
    velk_unit "${velk_unit}")
file(WRITE "${VELK_PACKAGING_DIR}/velk-compressor.service.in"
"# Keeps the configured folder compressed in the background, without a display. Choose the
# folder once with `velk-compressor --headless --watch DIR --once`, then
#   systemctl --user enable --now velk-compressor
${velk_unit}")
set(velk_unit_code [[
    file(READ "@VELK_PACKAGING_DIR@/velk-compressor.service.in" unit)
    string(REPLACE "VELK_INSTALL_BINDIR" "${CMAKE_INSTALL_PREFIX}/bin" unit "${unit}")
    set(unit_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
    message(STATUS "Installing: ${unit_dir}/velk-compressor.service")
    file(MAKE_DIRECTORY "${unit_dir}")
    file(WRITE "${unit_dir}/velk-compressor.service" "${unit}")
]])
string(CONFIGURE "${velk_unit_code}" velk_unit_code @ONLY)
install(CODE "${velk_unit_code}")

# Optional until the shell's launcher and icon are in the tree. Once the shell installs them
# itself, delete this block, or both rules install the same files.
foreach(velk_desktop_file IN ITEMS
        "packaging/velk-compressor.desktop|share/applications"
        "resources/velk-compressor.svg|share/icons/hicolor/scalable/apps"
        "resources/velk-compressor-symbolic.svg|share/icons/hicolor/symbolic/apps")
    string(REPLACE "|" ";" velk_desktop_file "${velk_desktop_file}")
    list(GET velk_desktop_file 0 velk_source)
    list(GET velk_desktop_file 1 velk_destination)
    if(EXISTS "${PROJECT_SOURCE_DIR}/${velk_source}")
        install(FILES "${PROJECT_SOURCE_DIR}/${velk_source}" DESTINATION "${velk_destination}")
    endif()
endforeach()

# Debian wants a copyright file and a compressed changelog in every binary package.
string(TIMESTAMP velk_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(VELK_DEBIAN_REVISION 1)
file(WRITE "${VELK_PACKAGING_DIR}/changelog.Debian"
"velk-compressor (${PROJECT_VERSION}-${VELK_DEBIAN_REVISION}) stable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${VELK_PACKAGE_MAINTAINER}  ${velk_changelog_date}
")
execute_process(COMMAND gzip -9nf "${VELK_PACKAGING_DIR}/changelog.Debian"
    COMMAND_ERROR_IS_FATAL ANY)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright"
              "${VELK_PACKAGING_DIR}/changelog.Debian.gz"
    DESTINATION share/doc/velk-compressor)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/lintian-overrides"
    DESTINATION share/lintian/overrides RENAME velk-compressor)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velk-compressor)
set(CPACK_PACKAGE_VENDOR Velk)
set(CPACK_PACKAGE_CONTACT "${VELK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps one folder of images compressed")
set(CPACK_PACKAGE_DESCRIPTION
"Every new or changed JPEG, PNG, WebP, AVIF or HEIC file at the top level of
the chosen folder is re-encoded in the background, beside the source or in
its place after a verified backup. Runs in the system tray or, with
--headless, as a systemd user service.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY velk-compressor)
# The bundle's destination is absolute; only DESTDIR keeps it inside the package's root. With
# DESTDIR, CPack installs under CPACK_INSTALL_PREFIX, not the build's own (/usr/local) prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VELK_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velk.app/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "webp, pngquant")
if(NOT EXISTS "${VELK_PROJECT_TOOLS_DIR}/cjpeg")
    # Without MozJPEG's cjpeg in the bundle, JPEGs go through Debian's.
    string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", libjpeg-turbo-progs")
endif()
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# A package apt installs must not replace its own files behind dpkg's back, so it is built
# without the update client. Checked when CPack runs, as the same build also makes releases.
if(VELK_UPDATE_CLIENT)
    set(VELK_PACKAGE_HAS_UPDATE_CLIENT TRUE)
else()
    set(VELK_PACKAGE_HAS_UPDATE_CLIENT FALSE)
endif()
# CPack reads this file without the project's policies; without CMP0012, `if(TRUE)` would
# look up a variable named TRUE.
file(WRITE "${VELK_PACKAGING_DIR}/CPackProjectConfig.cmake"
"cmake_policy(VERSION 3.25)
if(CPACK_GENERATOR STREQUAL \"DEB\" AND ${VELK_PACKAGE_HAS_UPDATE_CLIENT})
    message(FATAL_ERROR \"The Debian package must be built without the update client: \"
        \"configure with -DVELK_UPDATE_CLIENT=OFF (packaging/build-deb.sh does).\")
endif()
")
set(CPACK_PROJECT_CONFIG_FILE "${VELK_PACKAGING_DIR}/CPackProjectConfig.cmake")

include(CPack)

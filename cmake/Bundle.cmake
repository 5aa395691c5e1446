# Assembles the relocatable bundle folder VelkCompressor.app beside the build: the
# executable, its Info.plist, the installer program and the outside encoders this machine
# has, so a bundle copied elsewhere still finds its tools in Contents/Resources/bin.

set(VELK_BUNDLE_DIR "${CMAKE_BINARY_DIR}/VelkCompressor.app")
set(VELK_BUNDLE_CONTENTS "${VELK_BUNDLE_DIR}/Contents")

set(VELK_BUNDLE_EXECUTABLE VelkCompressor)
set(VELK_BUNDLE_IDENTIFIER com.velk.compressor)
set(VELK_BUNDLE_VERSION "${PROJECT_VERSION}")
# Only breaks a tie between releases of one version; a rebuilt release raises it. Empty
# follows the project version, so a cached value cannot outlive a version bump unnoticed.
set(VELK_BUILD_NUMBER "" CACHE STRING "CFBundleVersion (dotted numbers); empty: the project version")
set(VELK_BUNDLE_BUILD "${VELK_BUILD_NUMBER}")
if(VELK_BUNDLE_BUILD STREQUAL "")
    set(VELK_BUNDLE_BUILD "${PROJECT_VERSION}")
endif()
if(NOT VELK_BUNDLE_BUILD MATCHES "^[0-9]+(\\.[0-9]+)*$")
    message(FATAL_ERROR "VELK_BUILD_NUMBER must be dotted numbers, not '${VELK_BUILD_NUMBER}'")
endif()
set(VELK_BUNDLE_PLIST "${CMAKE_BINARY_DIR}/bundle/Info.plist")
file(WRITE "${VELK_BUNDLE_PLIST}.in" [=[<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>@VELK_BUNDLE_EXECUTABLE@</string>
	<key>CFBundleIdentifier</key>
	<string>@VELK_BUNDLE_IDENTIFIER@</string>
	<key>CFBundleName</key>
	<string>Velk | Compressor</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
	<key>CFBundleShortVersionString</key>
	<string>@VELK_BUNDLE_VERSION@</string>
	<key>CFBundleVersion</key>
	<string>@VELK_BUNDLE_BUILD@</string>
</dict>
</plist>
]=])
configure_file("${VELK_BUNDLE_PLIST}.in" "${VELK_BUNDLE_PLIST}" @ONLY)

# MozJPEG's cjpeg and oxipng come only from the project's own tool folder: Debian's
# /usr/bin/cjpeg is libjpeg-turbo's, which the tool lookup already falls back to.
set(VELK_PROJECT_TOOLS_DIR "${PROJECT_SOURCE_DIR}/.tools/bin")
set(VELK_BUNDLE_TOOL_SOURCES
    "${VELK_PROJECT_TOOLS_DIR}/cjpeg"
    "${VELK_PROJECT_TOOLS_DIR}/oxipng"
    /usr/bin/cwebp
    /usr/bin/webpmux
    /usr/bin/pngquant)

set(VELK_BUNDLE_TOOL_COMMANDS)
foreach(tool IN LISTS VELK_BUNDLE_TOOL_SOURCES)
    get_filename_component(name "${tool}" NAME)
    if(EXISTS "${tool}")
        list(APPEND VELK_BUNDLE_TOOL_COMMANDS
            COMMAND ${CMAKE_COMMAND} -E copy_if_different "${tool}"
                    "${VELK_BUNDLE_CONTENTS}/Resources/bin/${name}")
    else()
        message(STATUS "Bundle: ${tool} not found; the bundle goes without ${name}")
        list(APPEND VELK_BUNDLE_TOOL_COMMANDS
            COMMAND ${CMAKE_COMMAND} -E rm -f "${VELK_BUNDLE_CONTENTS}/Resources/bin/${name}")
    endif()
endforeach()

add_custom_target(velk_bundle ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory
            "${VELK_BUNDLE_CONTENTS}/MacOS" "${VELK_BUNDLE_CONTENTS}/Resources/bin"
            "${VELK_BUNDLE_CONTENTS}/Resources/Helpers"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
            "$<TARGET_FILE:VelkCompressor>" "${VELK_BUNDLE_CONTENTS}/MacOS/${VELK_BUNDLE_EXECUTABLE}"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
            "$<TARGET_FILE:VelkUpdater>" "${VELK_BUNDLE_CONTENTS}/Resources/Helpers/VelkUpdater"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
            "${VELK_BUNDLE_PLIST}" "${VELK_BUNDLE_CONTENTS}/Info.plist"
    ${VELK_BUNDLE_TOOL_COMMANDS}
    DEPENDS VelkCompressor VelkUpdater
    COMMENT "Assembling VelkCompressor.app"
    VERBATIM)
